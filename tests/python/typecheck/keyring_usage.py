"""Typed use of norvanes_keyring: mypy --strict accepts this file, and it runs."""

from __future__ import annotations

import os
import time
from typing import Final

from norvanes import Backend
from norvanes_keyring import Expired, Keyring, Tampered, TokenError, TokenInfo, WrongPurpose, generate_key, peek

OLD_KEY_VARIABLE: Final = "NORVANE_KEYRING_USAGE_OLD_KEY"


def read_reset_link(ring: Keyring, token: str) -> tuple[int | None, str]:
    try:
        data: bytes = ring.decrypt_for(token, "password-reset")
    except Expired:
        return None, "expired"
    except (Tampered, WrongPurpose) as error:
        reason: str = str(error)
        return None, reason
    except TokenError:
        return None, "malformed"
    return int(data.decode()), "ok"


def main() -> None:
    os.environ[OLD_KEY_VARIABLE] = str(generate_key())
    new_key: int = generate_key()
    old = Keyring(Backend.AES256_GCM, [OLD_KEY_VARIABLE])
    ring = Keyring(Backend.AES256_GCM, (new_key, OLD_KEY_VARIABLE))
    assert ring.backend == Backend.AES256_GCM

    link = old.encrypt(b"42", purpose="password-reset", ttl=600)
    assert read_reset_link(ring, link) == (42, "ok")
    assert read_reset_link(ring, old.encrypt(b"42", int(time.time()) - 1, "password-reset")) == (None, "expired")
    assert read_reset_link(ring, ring.encrypt(b"42"))[1] == "token was not minted for the expected purpose"

    moved: str = ring.rotate(link, purpose="password-reset")
    info: TokenInfo = peek(moved)
    backend: Backend | None = info.backend
    expires_at: int | None = info.expires_at
    assert (backend, expires_at, info.purpose, info.data_len) == (Backend.AES256_GCM, peek(link).expires_at,
                                                                  "password-reset", 2)
    assert Keyring(Backend.AES256_GCM, [new_key]).decrypt_for(moved, "password-reset") == b"42"
    session: bytes = ring.decrypt(ring.encrypt(b"", expires_at=None, purpose=None))
    assert session == b""
    print("ok")


if __name__ == "__main__":
    main()
