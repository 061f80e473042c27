"""Key rings, typed refusals, relative expiry and reading a token's context.

Everything here is built on the public API of the `norvanes` module: the
tokens are the module's own, and so are every key check and every message.

- `Keyring(backend, keys)` mints under its first key and opens with any of
  them, so that keys can be rotated without refusing tokens in flight.
- Refusals of opening are `TokenError`s (a `ValueError`) of four kinds:
  `InvalidToken`, `Tampered`, `WrongPurpose` and `Expired`.
- `peek(token)` reads what any holder of a token can read, unverified.
- `generate_key()` makes a fresh key.
"""

from __future__ import annotations

import base64
import binascii
import operator
import secrets
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Final, NoReturn, SupportsIndex

from norvanes import Backend, Norvane

__all__ = [
    "Expired",
    "InvalidToken",
    "Keyring",
    "Tampered",
    "TokenError",
    "TokenInfo",
    "WrongPurpose",
    "generate_key",
    "peek",
]


class TokenError(ValueError):
    """A token was refused. `str(error)` is the module's own message."""


class InvalidToken(TokenError):
    """Not a token this reader can open under any key: malformed text, an
    oversized token, one of the other backend, an unreadable context, or data
    that is not UTF-8."""


class Tampered(TokenError):
    """The tag did not verify: the token was modified, or none of the keys
    minted it."""


class WrongPurpose(TokenError):
    """An authentic token that was minted for another purpose."""


class Expired(TokenError):
    """An authentic token whose expiry has passed."""


_INVALID_TOKEN: Final = "invalid token"
_INVALID_BASE64: Final = "base64 is invalid"

# The one place where the module's refusals of opening are told apart: each
# fixed message names exactly one error of the core, and becomes one typed
# error here. Any other ValueError (of minting or of the key configuration)
# is not a token refusal and passes through unchanged.
_REFUSALS: Final[Mapping[str, type[TokenError]]] = {
    _INVALID_TOKEN: InvalidToken,
    _INVALID_BASE64: InvalidToken,
    "the data has been modified": Tampered,
    "token was not minted for the expected purpose": WrongPurpose,
    "token has expired": Expired,
    "decrypted data was not valid UTF-8": InvalidToken,
}

# The token format, as the module writes and reads it.
_MAX_TOKEN_LEN: Final = 32768
_TAG_LEN: Final = 16
_CONTEXT_VERSION: Final = 1
_CONTEXT_HEADER_LEN: Final = 10  # version, 8-byte big-endian expiry, purpose length
_BACKEND_BY_NONCE_LEN: Final[Mapping[int, Backend]] = {12: Backend.AES256_GCM, 24: Backend.XCHACHA20_POLY1305}
_MAX_EXPIRY: Final = 2**64 - 1
_DEFAULT_PURPOSE: Final = "session"  # what Norvane.decrypt expects


def _refusal(message: str) -> TokenError:
    return _REFUSALS[message](message)


def _typed(error: ValueError) -> TokenError | None:
    """The typed error for a refusal of the module, or None for any other
    ValueError."""
    kind = _REFUSALS.get(str(error)) if len(error.args) == 1 else None
    return None if kind is None else kind(str(error))


def _type_error(value: object, expected: str, parameter: str) -> NoReturn:
    shown = "'None' is" if value is None else f"'{type(value).__qualname__}' object is"
    error = TypeError(f"{shown} not an instance of '{expected}'")
    error.add_note(f"while processing '{parameter}'")
    raise error


def generate_key() -> int:
    """Returns a fresh 128-bit key from the operating system's randomness."""
    return secrets.randbits(128)


@dataclass(frozen=True, slots=True)
class TokenInfo:
    """What anyone holding a token can read from it without the key."""

    backend: Backend | None
    """The backend the nonce length belongs to; None when it fits neither."""
    expires_at: int | None
    """The expiry in Unix seconds; None when the token never expires."""
    purpose: str
    data_len: int
    """The length of the encrypted data in bytes."""


def _decode_field(field: str) -> bytes | None:
    """Decodes canonical padded base64url, exactly the texts that the token
    encoder writes: anything else (a lost or extra "=", "+" or "/", white
    space, non-zero spare bits) is None."""
    if not field.isascii():
        return None
    text = field.encode("ascii")
    try:
        raw = base64.urlsafe_b64decode(text)
    except (binascii.Error, ValueError):
        return None
    # The encoder's output is unique for each byte string, so a text that
    # does not come back unchanged was not written by it.
    return raw if base64.urlsafe_b64encode(raw) == text else None


def _parse_context(record: bytes) -> tuple[int, str] | None:
    if len(record) < _CONTEXT_HEADER_LEN or record[0] != _CONTEXT_VERSION:
        return None
    if len(record) != _CONTEXT_HEADER_LEN + record[_CONTEXT_HEADER_LEN - 1]:
        return None
    try:
        purpose = record[_CONTEXT_HEADER_LEN:].decode("utf-8")
    except UnicodeDecodeError:
        return None
    return int.from_bytes(record[1 : _CONTEXT_HEADER_LEN - 1], "big"), purpose


def peek(token: str) -> TokenInfo:
    """Reads a token's backend, expiry, purpose and data length WITHOUT
    verifying anything.

    The key is not needed and the tag is not checked: anyone can write a token
    that peek reads happily and that every key refuses. Trust what it returns
    only after the token has been opened. It raises InvalidToken for text
    that cannot be a token: oversized, without three fields, not canonical
    padded base64url ("base64 is invalid"), with a context record that does
    not parse, or with a ciphertext field shorter than the 16-byte tag.
    """
    if not isinstance(token, str):
        _type_error(token, "str", "token")
    if len(token) > _MAX_TOKEN_LEN or (
        not token.isascii() and len(token.encode("utf-8", "surrogatepass")) > _MAX_TOKEN_LEN
    ):
        raise _refusal(_INVALID_TOKEN)
    fields = token.split(".", 2)
    if len(fields) != 3:
        raise _refusal(_INVALID_TOKEN)
    nonce, record, sealed = (_decode_field(field) for field in fields)
    if nonce is None or record is None or sealed is None:
        raise _refusal(_INVALID_BASE64)
    context = _parse_context(record)
    if context is None or len(sealed) < _TAG_LEN:
        raise _refusal(_INVALID_TOKEN)
    expires_at, purpose = context
    return TokenInfo(
        backend=_BACKEND_BY_NONCE_LEN.get(len(nonce)),
        expires_at=expires_at or None,
        purpose=purpose,
        data_len=len(sealed) - _TAG_LEN,
    )


class Keyring:
    """Mints under the first of several keys and opens with any of them.

    Each key is an int, or a str naming an environment variable that holds
    one in decimal, read once here (as Norvane's key_env). The first key is
    the primary one: every token is minted under it.

    Opening tries the keys in order. Only "the data has been modified" moves
    on to the next key, since it is what a token minted under another key
    gets; every other refusal stops at once. Each try is the module's
    constant-time opening, so the tries reveal nothing of a key or of the
    data; only how many were made (which key of the ring opened the token)
    may show in the time a call takes.
    """

    __slots__ = ("_backend", "_boxes")

    def __init__(self, backend: Backend, keys: Sequence[SupportsIndex | str]) -> None:
        if not isinstance(backend, Backend):
            _type_error(backend, "Backend", "backend")
        if isinstance(keys, (str, bytes)):
            raise TypeError("keys must be a sequence of keys, not a single str or bytes: pass [keys]")
        try:
            items = tuple(keys)
        except TypeError:
            raise TypeError(
                f"keys must be a sequence of keys, not '{type(keys).__qualname__}': pass [keys]"
            ) from None
        if not items:
            raise ValueError("keys must hold at least one key")
        boxes: list[Norvane] = []
        for index, item in enumerate(items):
            if item is None:
                raise TypeError(f"keys[{index}] is None: each key is an int or the name of an environment variable")
            try:
                boxes.append(
                    Norvane(backend, key_env=item) if isinstance(item, str) else Norvane(backend, key=item)
                )
            except (TypeError, ValueError, OverflowError) as error:
                error.add_note(f"while processing keys[{index}]")
                raise
        self._backend: Final = backend
        self._boxes: Final = tuple(boxes)

    def __repr__(self) -> str:
        count = len(self._boxes)
        return f"<Keyring {self._backend!r}, {count} key{'' if count == 1 else 's'}>"

    @property
    def backend(self) -> Backend:
        return self._backend

    def encrypt(
        self,
        data: bytes,
        expires_at: SupportsIndex | None = None,
        purpose: str | None = None,
        *,
        ttl: SupportsIndex | None = None,
    ) -> str:
        """Mints a token under the primary key, as Norvane.encrypt does.

        ttl sets the expiry to that many whole seconds from now (at least 1),
        instead of expires_at; passing both is refused. Errors of minting are
        the module's own ValueError, OverflowError and TypeError.
        """
        if ttl is not None:
            if expires_at is not None:
                raise ValueError("expires_at and ttl were both provided — pass at most one")
            expires_at = _expiry_after(ttl)
        return self._boxes[0].encrypt(data, expires_at, purpose)

    def decrypt(self, token: str) -> bytes:
        """Opens a token minted for the default purpose ("session") under
        any of the keys. Refusals raise TokenError subclasses."""
        return self._open(token, _DEFAULT_PURPOSE)

    def decrypt_for(self, token: str, purpose: str) -> bytes:
        """Opens a token minted for `purpose` under any of the keys.
        Refusals raise TokenError subclasses."""
        return self._open(token, purpose)

    def rotate(self, token: str, purpose: str = _DEFAULT_PURPOSE) -> str:
        """Opens a token minted for `purpose` under any of the keys and mints
        its data again under the primary key, with the same expiry and
        purpose. Refusals raise TokenError subclasses, as decrypt_for."""
        data = self._open(token, purpose)
        info = peek(token)  # opening has just authenticated the context it reads
        return self._boxes[0].encrypt(data, info.expires_at, info.purpose)

    def _open(self, token: str, purpose: str) -> bytes:
        for box in self._boxes[:-1]:
            try:
                return _open_with(box, token, purpose)
            except Tampered:
                continue  # perhaps minted under one of the later keys
        return _open_with(self._boxes[-1], token, purpose)


def _open_with(box: Norvane, token: str, purpose: str) -> bytes:
    try:
        return box.decrypt_for(token, purpose)
    except ValueError as error:
        typed = _typed(error)
        if typed is None:
            raise
        # The typed error carries the module's message unchanged, so a
        # traceback shows it once; the module's ValueError stays reachable
        # as __context__.
        raise typed from None


def _expiry_after(ttl: SupportsIndex) -> int:
    try:
        seconds = operator.index(ttl)
    except TypeError as error:
        error.add_note("while processing 'ttl'")
        raise
    if seconds < 1:
        raise ValueError("ttl must be at least one second — pass None for no expiry")
    now = time.time_ns() // 1_000_000_000
    if now < 0:
        raise ValueError("the clock reads before 1970 — pass expires_at instead of ttl")
    if now + seconds > _MAX_EXPIRY:
        raise OverflowError("ttl reaches past the latest expiry a token can hold")
    return now + seconds
