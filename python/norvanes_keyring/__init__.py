"""Key rings, typed refusals, relative expiry and reading a token's context.

Everything here is built on the public API of the `norvanes` module: the
tokens are the module's own, and so are the refusals' messages. What it adds
is said beside them: which mistake a key's variable holds (where the module
has one message for all), and notes that say what to try after a refusal.

- `Keyring(backend, keys)` mints under its first key and opens with any of
  them, so that keys can be rotated without refusing tokens in flight.
- Refusals of opening are `TokenError`s (a `ValueError`) of four kinds:
  `InvalidToken`, `Tampered`, `WrongPurpose` and `Expired`.
- `peek(token)` reads what any holder of a token can read, unverified.
- `generate_key()` makes a fresh key.
"""

from __future__ import annotations

import binascii
import operator
import os
import re
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
    """A token was refused. `str(error)` is the module's own message.

    A refusal of opening carries the purpose it expected as
    `expected_purpose`; a note may add what to try.
    """

    expected_purpose: str | None = None
    """The purpose the token was opened for; None for `peek`."""


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


def _refusal_kind(error: ValueError) -> type[TokenError] | None:
    """The typed error for a refusal of the module, or None for any other
    ValueError."""
    return _REFUSALS.get(str(error)) if len(error.args) == 1 else None


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


# Canonical padded base64url, the only text the token encoder writes: whole
# groups of four characters of the URL-safe alphabet, the last of which may
# end in "==" or "=" after a character whose unused low bits (4 or 2) are
# zero. Every byte string has exactly one such text.
_CANONICAL_BASE64URL: Final = re.compile(
    r"(?:[A-Za-z0-9_-]{4})*(?:[A-Za-z0-9_-][AQgw]==|[A-Za-z0-9_-]{2}[AEIMQUYcgkosw048]=)?"
)
_TO_STANDARD_ALPHABET: Final = str.maketrans("-_", "+/")


def _decode_field(field: str) -> bytes | None:
    """Decodes canonical padded base64url, exactly the texts that the token
    encoder writes and that opening accepts; anything else (a lost or extra
    "=", "+" or "/", white space, non-zero spare bits, non-ASCII) is None.

    The text is checked here in full, before binascii decodes it: the
    library's own base64url decoders accept some of these (and, depending on
    the Python version, discard "+" and "/" with a warning or without one).
    """
    if _CANONICAL_BASE64URL.fullmatch(field) is None:
        return None
    return binascii.a2b_base64(field.translate(_TO_STANDARD_ALPHABET).encode("ascii"), strict_mode=True)


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


# A key in decimal, as the module parses it: an optional "+" and digits.
_DECIMAL: Final = re.compile(rb"\+?[0-9]+")
_LARGEST_KEY: Final = b"%d" % (2**128 - 1)
_SPACE: Final = frozenset(b" \t\n\r\v\f")
# A name that is a key's value instead: a decimal number, or 16 or more
# hexadecimal digits. It is a secret, and never shown.
_KEY_AS_NAME: Final = re.compile(r"\+?[0-9]+|(?:0[xX])?[0-9A-Fa-f]{16,}")
# A name is shown only when it reads as a variable's name in a shell.
_SHOWN_NAME: Final = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,127}")
_MAKE_ONE: Final = " (make a key with generate_key() or `norvane keygen`)"


def _too_large(value: bytes) -> bool:
    """Whether decimal digits (after an optional "+") reach 2**128. Compared
    digit by digit, so that no int and no copy of the key is made."""
    start = 1 if value[0] == ord("+") else 0
    while start < len(value) - 1 and value[start] == ord("0"):
        start += 1
    digits = len(value) - start
    if digits != len(_LARGEST_KEY):
        return digits > len(_LARGEST_KEY)
    for i, limit in enumerate(_LARGEST_KEY):
        if value[start + i] != limit:
            return value[start + i] > limit
    return False


def _key_env_problem(name: str, index: int) -> str | None:
    """What is wrong with the key that the environment variable `name`
    (keys[index]) should hold, or None when the module will read it as a
    valid key.

    The module refuses every such mistake with one message that names
    nothing; this says which it is, naming the variable (a name is not a
    secret) and never showing its value. The value is looked at in place,
    through os.environb, as the bytes that the module reads, and never
    copied or converted.
    """
    item = f"keys[{index}]"
    if not name:
        return f"{item} is empty: give the name of the environment variable that holds the key"
    if "=" in name or "\0" in name:
        return f"{item} holds '=' or a NUL character, which no environment variable's name can: give the name alone"
    try:
        encoded = name.encode("utf-8")
    except UnicodeEncodeError:
        return None  # the module refuses it with the interpreter's own error
    key_as_name = _KEY_AS_NAME.fullmatch(name) is not None
    shown = not key_as_name and _SHOWN_NAME.fullmatch(name) is not None
    variable = f"environment variable {name}" if shown else f"the environment variable that {item} names"
    value = os.environb.get(encoded)
    if value is None:
        if key_as_name:
            return (f"{item} looks like a key, not the name of an environment variable: "
                    "put the key in a variable and pass the variable's name, or pass the key as an int")
        return f"{variable} is not set"
    if not value:
        return f"{variable} is empty{_MAKE_ONE}"
    if value[0] in _SPACE or value[-1] in _SPACE:
        return f"{variable} has white space around the key (a trailing line break?): a key is decimal digits alone"
    if _DECIMAL.fullmatch(value) is None:
        return f"{variable} does not hold a key in decimal digits{_MAKE_ONE}"
    if _too_large(value):
        return f"{variable} holds a number of 2**128 or more, too large for a 128-bit key{_MAKE_ONE}"
    return None


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
            # Each variable is looked at first, so that a mistake is told as
            # what it is; the module's one message for all of them remains
            # for a variable changed in between.
            problem = _key_env_problem(item, index) if isinstance(item, str) else None
            try:
                if problem is not None:
                    raise ValueError(problem)
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
        return self._open(token, _DEFAULT_PURPOSE, "decrypt")

    def decrypt_for(self, token: str, purpose: str) -> bytes:
        """Opens a token minted for `purpose` under any of the keys.
        Refusals raise TokenError subclasses."""
        return self._open(token, purpose, "decrypt_for")

    def rotate(self, token: str, purpose: str = _DEFAULT_PURPOSE) -> str:
        """Opens a token minted for `purpose` under any of the keys and mints
        its data again under the primary key, with the same expiry and
        purpose. Refusals raise TokenError subclasses, as decrypt_for."""
        data = self._open(token, purpose, "rotate")
        info = peek(token)  # opening has just authenticated the context it reads
        return self._boxes[0].encrypt(data, info.expires_at, info.purpose)

    def _open(self, token: str, purpose: str, method: str) -> bytes:
        last = len(self._boxes) - 1
        for index, box in enumerate(self._boxes):
            try:
                return box.decrypt_for(token, purpose)
            except ValueError as error:
                kind = _refusal_kind(error)
                if kind is None:
                    raise
                if kind is Tampered and index < last:
                    continue  # perhaps minted under one of the later keys
                # The typed error carries the module's message unchanged, so
                # a traceback shows it once; the module's ValueError stays
                # reachable as __context__.
                refusal = kind(str(error))
                refusal.expected_purpose = purpose
                hint = self._hint(kind, token, purpose, method)
                if hint is not None:
                    refusal.add_note(hint)
                raise refusal from None
        raise AssertionError("unreachable: a Keyring holds at least one key")

    def _hint(self, kind: type[TokenError], token: str, purpose: str, method: str) -> str | None:
        """What a person may try after a refusal, for a note; it never holds
        the token."""
        if kind is WrongPurpose:
            if method == "decrypt":
                return (f"decrypt opens tokens minted for the purpose {purpose!r}; open a token minted for another "
                        "purpose with decrypt_for(token, purpose) (peek(token).purpose tells which)")
            return (f"expected the purpose {purpose!r}, and the token was minted for another one: check the "
                    f"purpose passed to {method}() (peek(token).purpose tells the token's)")
        if kind is Tampered:
            if len(self._boxes) == 1:
                return "the token may have been modified, or minted under another key"
            return (f"none of the ring's {len(self._boxes)} keys opened it: the token may have been modified, or "
                    "minted under a key that is no longer in the ring")
        if kind is InvalidToken and isinstance(token, str):
            try:
                backend = peek(token).backend
            except TokenError:
                return None
            if backend is not None and backend is not self._backend:
                return f"the token's nonce is that of {backend!r}: it may have been minted with that backend"
        return None


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
