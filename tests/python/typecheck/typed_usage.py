"""Typed use of norvanes: mypy --strict accepts this file, and it runs."""

from __future__ import annotations

import os
from typing import Final

from norvanes import Backend, Norvane

KEY: Final = 0x0F1E2D3C4B5A69788796A5B4C3D2E1F0
KEY_VARIABLE: Final = "NORVANE_TYPED_USAGE_KEY"


class Seconds:
    """An integer-like expiry, as numpy's integers are: it has __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def make(backend: Backend) -> Norvane:
    return Norvane(backend, key=KEY)


def from_environment(backend: Backend) -> Norvane:
    return Norvane(backend=backend, key=None, key_env=KEY_VARIABLE)


def reset_link_token(box: Norvane, user_id: int, expires_at: int | None) -> str:
    return box.encrypt(f"user={user_id}".encode(), expires_at, purpose="password-reset")


def read_reset_link(box: Norvane, token: str) -> int | None:
    try:
        data: bytes = box.decrypt_for(token, "password-reset")
    except ValueError as error:
        reason: str = error.args[0]
        print(f"refused: {reason}")
        return None
    return int(data.decode().removeprefix("user="))


def main() -> None:
    os.environ[KEY_VARIABLE] = str(KEY)
    backends: list[Backend] = [Backend.AES256_GCM, Backend.XCHACHA20_POLY1305]
    for backend in backends:
        box = make(backend)
        code: int = int(backend)
        assert backend == code and backend != Backend.AES256_GCM or code == 0

        token = reset_link_token(box, 42, expires_at=None)
        assert read_reset_link(from_environment(backend), token) == 42
        assert read_reset_link(box, box.encrypt(b"user=7")) is None  # minted for "session"

        session = box.encrypt(data=b"", expires_at=Seconds(2**40), purpose=None)
        assert box.decrypt(token=session) == b""
        assert Norvane(backend, True).decrypt(Norvane(backend, 1).encrypt(b"bool keys are ints")) != b""
    print("ok")


if __name__ == "__main__":
    main()
