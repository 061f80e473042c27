"""norvanes_keyring against the real module: key order, typed refusals, ttl,
peek's reading of the token format, its documentation and its types.

The keyring under test is whatever `import norvanes_keyring` finds: the
source folder python/ (on PYTHONPATH beside the CMake build's module) or an
installed package.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import norvanes_keyring
from norvanes import Backend, Norvane
from norvanes_keyring import (Expired, InvalidToken, Keyring, Tampered, TokenError, TokenInfo, WrongPurpose,
                              generate_key, peek)

from conftest import KEY, OTHER_KEY, b64e, context_record, join, raised

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
FIXTURES = pathlib.Path(__file__).resolve().parent / "typecheck"
PACKAGE_DIR = pathlib.Path(norvanes_keyring.__file__).resolve().parent
FROM_SOURCE = PACKAGE_DIR == ROOT / "python" / "norvanes_keyring"
THIRD_KEY = KEY ^ 2
TAMPERED = "the data has been modified"


def minted(backend, key=KEY, data=b"data", **options):
    return Norvane(backend, key=key).encrypt(data, **options)


def modified(token):
    nonce, context, sealed = token.split(".")
    return f"{nonce}.{context}.{'B' if sealed[0] == 'A' else 'A'}{sealed[1:]}"


# -- keys ---------------------------------------------------------------------------------------------


def test_generate_key_gives_full_width_keys_the_module_accepts(backend):
    keys = [generate_key() for _ in range(64)]
    assert len(set(keys)) == 64 and all(0 <= k < 2**128 for k in keys)
    assert any(k >> 127 for k in keys) and any(not k >> 127 for k in keys)
    assert Keyring(backend, keys[:1]).decrypt(minted(backend, key=keys[0])) == b"data"


@pytest.mark.parametrize("minted_under, opened", [(KEY, b"data"), (OTHER_KEY, b"data"), (THIRD_KEY, b"data")])
def test_any_key_of_the_ring_opens_and_the_first_mints(backend, minted_under, opened):
    ring = Keyring(backend, [KEY, OTHER_KEY, THIRD_KEY])
    assert ring.decrypt(minted(backend, key=minted_under)) == opened
    fresh = ring.encrypt(b"fresh", purpose="p")
    assert Norvane(backend, key=KEY).decrypt_for(fresh, "p") == b"fresh"
    assert str(raised(Norvane(backend, key=OTHER_KEY).decrypt_for, fresh, "p")) == TAMPERED


def test_keys_from_the_environment_are_read_once(backend, monkeypatch):
    monkeypatch.setenv("NORVANE_RING_NEW", str(KEY))
    monkeypatch.setenv("NORVANE_RING_OLD", "+" + str(OTHER_KEY))
    ring = Keyring(backend, ["NORVANE_RING_NEW", OTHER_KEY, "NORVANE_RING_OLD"])
    monkeypatch.setenv("NORVANE_RING_NEW", str(THIRD_KEY))
    assert ring.decrypt(minted(backend, key=OTHER_KEY)) == b"data"
    assert Norvane(backend, key=KEY).decrypt(ring.encrypt(b"x")) == b"x"


@pytest.mark.parametrize("keys, kind, message, note", [
    ([], ValueError, "keys must hold at least one key", None),
    ("NORVANE_RING_NEW", TypeError, "keys must be a sequence of keys, not a single str or bytes", None),
    (KEY, TypeError, "keys must be a sequence of keys, not 'int'", None),
    ([KEY, None], TypeError, "keys[1] is None", None),
    ([KEY, 1.5], TypeError, "'float' object cannot be interpreted as an integer", "keys[1]"),
    ([2**128], OverflowError, "", "keys[0]"),
    ([KEY, "NORVANE_RING_UNSET"], ValueError, "environment variable NORVANE_RING_UNSET is not set", "keys[1]"),
    ([KEY, "NORVANE_RING\udc80"], UnicodeEncodeError, "", "keys[1]"),  # the module's own refusal
])
def test_bad_keys_are_refused_naming_the_item(keys, kind, message, note):
    error = raised(Keyring, Backend.AES256_GCM, keys)
    assert type(error) is kind and str(error).startswith(message)
    assert getattr(error, "__notes__", [])[-1:] == ([f"while processing {note}"] if note else [])


K = str(KEY)
VAR = "NORVANE_RING_KEY"
MAKE_ONE = " (make a key with generate_key() or `norvane keygen`)"
NOT_DECIMAL = "does not hold a key in decimal digits" + MAKE_ONE
SPACE = "has white space around the key (a trailing line break?): a key is decimal digits alone"
TOO_LARGE = "holds a number of 2**128 or more, too large for a 128-bit key" + MAKE_ONE
# (id, the variable's value as bytes or None for unset, what is said about it)
KEY_MISTAKES = [
    ("unset", None, "is not set"),
    ("empty", b"", "is empty" + MAKE_ONE),
    ("leading-space", b" " + K.encode(), SPACE),
    ("tab", b"\t" + K.encode(), SPACE),
    ("newline", K.encode() + b"\n", SPACE),
    ("hex", f"0x{KEY:032x}".encode(), NOT_DECIMAL),
    ("bare-hex", f"{KEY:032x}".encode(), NOT_DECIMAL),
    ("minus", b"-" + K.encode(), NOT_DECIMAL),
    ("two-plus", b"++" + K.encode(), NOT_DECIMAL),
    ("plus-alone", b"+", NOT_DECIMAL),
    ("separator", K[:9].encode() + b"_" + K[9:].encode(), NOT_DECIMAL),
    ("arabic-digits", "١٢".encode(), NOT_DECIMAL),
    ("not-utf8", K.encode() + b"\xff", NOT_DECIMAL),
    ("2**128", str(2**128).encode(), TOO_LARGE),
    ("plus-2**128", b"+" + b"0" * 50 + str(2**128).encode(), TOO_LARGE),
    ("too-many-digits", K.encode() + b"000", TOO_LARGE),
]


def assert_no_key_in(error, value):
    shown = "\n".join([str(error), *getattr(error, "__notes__", [])])
    for secret in {K, f"{KEY:032x}", value.strip().decode("utf-8", "replace") if value else None} - {None, ""}:
        assert secret not in shown


@pytest.fixture
def environb(monkeypatch):
    """Sets or unsets VAR by its bytes, as the module reads it."""

    def put(value):
        monkeypatch.delitem(os.environb, VAR.encode(), raising=False)
        if value is not None:
            monkeypatch.setitem(os.environb, VAR.encode(), value)

    return put


@pytest.mark.parametrize("value, said", [r[1:] for r in KEY_MISTAKES], ids=[r[0] for r in KEY_MISTAKES])
def test_each_key_mistake_gets_its_own_message(environb, value, said):
    # The module refuses every one of them with its one message; the keyring
    # says which it is, naming the variable and never showing the value.
    environb(value)
    assert str(raised(Norvane, Backend.AES256_GCM, key_env=VAR)) == "the value of key_env is invalid"
    error = raised(Keyring, Backend.AES256_GCM, [KEY, VAR])
    assert (type(error), str(error), error.__notes__) == (ValueError, f"environment variable {VAR} {said}",
                                                          ["while processing keys[1]"])
    assert_no_key_in(error, value)


@pytest.mark.parametrize("name, message", [
    (K, "keys[0] looks like a key, not the name of an environment variable: put the key in a variable and pass "
        "the variable's name, or pass the key as an int"),
    ("+" + K, "keys[0] looks like a key, not the name of an environment variable"),
    (f"0x{KEY:032x}", "keys[0] looks like a key, not the name of an environment variable"),
    (f"{KEY:032X}", "keys[0] looks like a key, not the name of an environment variable"),
    (f"APP_KEY={K}", "keys[0] holds '=' or a NUL character, which no environment variable's name can: give the "
                     "name alone"),
    ("APP\0KEY", "keys[0] holds '=' or a NUL character"),
    ("", "keys[0] is empty: give the name of the environment variable that holds the key"),
    ("norvane-ring-unset", "the environment variable that keys[0] names is not set"),
    ("N" * 129, "the environment variable that keys[0] names is not set"),
])
def test_mistakes_in_the_name_of_a_key_variable(name, message):
    error = raised(Keyring, Backend.AES256_GCM, [name])
    assert type(error) is ValueError and str(error).startswith(message)
    assert error.__notes__ == ["while processing keys[0]"]
    assert_no_key_in(error, None)


@pytest.mark.parametrize("value, key", [
    (b"0", 0), (b"+" + K.encode(), KEY), (b"0" * 60 + K.encode(), KEY), (b"+" + b"0" * 60, 0),
    (str(2**128 - 1).encode(), 2**128 - 1), (b"0" + str(2**128 - 1).encode(), 2**128 - 1),
    (str(2**128 - 10**20).encode(), 2**128 - 10**20),
])
def test_what_the_module_reads_as_a_key_the_keyring_reads_too(environb, backend, value, key):
    environb(value)
    assert Keyring(backend, [VAR]).decrypt(minted(backend, key=key)) == b"data"


def test_backend_must_be_a_backend():
    error = raised(Keyring, "aes256gcm", [KEY])
    assert (type(error), str(error), error.__notes__) == (
        TypeError, "'str' object is not an instance of 'Backend'", ["while processing 'backend'"])


def test_repr_shows_no_key(backend):
    shown = repr(Keyring(backend, [KEY, OTHER_KEY]))
    assert shown == f"<Keyring {backend!r}, 2 keys>" and str(KEY) not in shown


# -- refusals ----------------------------------------------------------------------------------------

# (id, token made from backend, purpose to open for, typed error, message)
REFUSALS = [
    ("empty", lambda b: "", "session", InvalidToken, "invalid token"),
    ("two-fields", lambda b: minted(b).rsplit(".", 1)[0], "session", InvalidToken, "invalid token"),
    ("fourth-field", lambda b: minted(b) + ".x", "session", InvalidToken, "base64 is invalid"),
    ("other-backend", lambda b: minted(Backend.AES256_GCM if b == Backend.XCHACHA20_POLY1305
                                        else Backend.XCHACHA20_POLY1305), "session", InvalidToken, "invalid token"),
    ("modified", lambda b: modified(minted(b)), "session", Tampered, TAMPERED),
    ("retired-key", lambda b: minted(b, key=KEY ^ 0xFF), "session", Tampered, TAMPERED),
    ("wrong-purpose", lambda b: minted(b, purpose="reset"), "session", WrongPurpose,
     "token was not minted for the expected purpose"),
    ("purpose-case", lambda b: minted(b, purpose="reset"), "Reset", WrongPurpose,
     "token was not minted for the expected purpose"),
    ("expired", lambda b: minted(b, key=OTHER_KEY, expires_at=1), "session", Expired, "token has expired"),
    ("expired-and-other-purpose", lambda b: minted(b, expires_at=1, purpose="p"), "session", WrongPurpose,
     "token was not minted for the expected purpose"),
    ("unreadable-context", lambda b: join(bytes(12 if b == Backend.AES256_GCM else 24),
                                          b"\x02" + context_record(0, "s")[1:], bytes(16)), "s", Tampered, TAMPERED),
]


@pytest.mark.parametrize("make, purpose, kind, message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
@pytest.mark.parametrize("method", ["decrypt_for", "rotate"])
def test_refusals_are_typed_and_keep_the_module_message(backend, make, purpose, kind, message, method):
    token = make(backend)
    error = raised(getattr(Keyring(backend, [KEY, OTHER_KEY]), method), token, purpose)
    assert type(error) is kind and isinstance(error, TokenError) and isinstance(error, ValueError)
    assert (str(error), error.args, error.expected_purpose) == (message, (message,), purpose)
    # Raised from None, with the module's own ValueError kept as the context.
    assert (error.__cause__, error.__suppress_context__) == (None, True)
    assert type(error.__context__) is ValueError and str(error.__context__) == message


@pytest.mark.parametrize("method, purpose, note", [
    ("decrypt", None, "decrypt opens tokens minted for the purpose 'session'; open a token minted for another "
                      "purpose with decrypt_for(token, purpose) (peek(token).purpose tells which)"),
    ("decrypt_for", "password_reset", "expected the purpose 'password_reset', and the token was minted for another "
                                      "one: check the purpose passed to decrypt_for() (peek(token).purpose tells "
                                      "the token's)"),
    ("rotate", "session", "expected the purpose 'session', and the token was minted for another one: check the "
                          "purpose passed to rotate() (peek(token).purpose tells the token's)"),
])
def test_a_wrong_purpose_says_which_was_expected_and_what_to_call(backend, method, purpose, note):
    token = minted(backend, purpose="password-reset")
    error = raised(getattr(Keyring(backend, [KEY]), method), token, *([purpose] if purpose else []))
    assert (type(error), str(error)) == (WrongPurpose, "token was not minted for the expected purpose")
    assert (error.expected_purpose, error.__notes__) == (purpose or "session", [note])


@pytest.mark.parametrize("keys, note", [
    ([KEY], "the token may have been modified, or minted under another key"),
    ([KEY, OTHER_KEY], "none of the ring's 2 keys opened it: the token may have been modified, or minted under a "
                       "key that is no longer in the ring"),
])
def test_a_token_no_key_opens_hints_at_a_key_no_longer_in_the_ring(backend, keys, note):
    for token in (minted(backend, key=THIRD_KEY), modified(minted(backend))):
        error = raised(Keyring(backend, keys).decrypt, token)
        assert (type(error), str(error), error.__notes__) == (Tampered, TAMPERED, [note])


def test_a_token_of_the_other_backend_is_named_in_a_note():
    aes, xchacha = Backend.AES256_GCM, Backend.XCHACHA20_POLY1305
    for mine, other in [(aes, xchacha), (xchacha, aes)]:
        error = raised(Keyring(mine, [KEY]).decrypt, minted(other))
        assert (type(error), str(error), error.__notes__) == (
            InvalidToken, "invalid token", [f"the token's nonce is that of {other!r}: it may have been minted with "
                                            "that backend"])
    # Other refusals of malformed text carry no note.
    for text in ["", "a.b.c", minted(aes)[:-2]]:
        assert not hasattr(raised(Keyring(aes, [KEY]).decrypt, text), "__notes__")


def _error_rows():
    rows = re.findall(r"^\| `(\w+)` \| \"([^\"]+)\" \|", (DOCS / "errors.md").read_text(), re.MULTILINE)
    assert len(rows) == 14
    return rows


OPENING_KINDS = {"InvalidToken": InvalidToken, "InvalidBase64": InvalidToken, "InvalidUtf8": InvalidToken,
                 "Tampered": Tampered, "WrongPurpose": WrongPurpose, "Expired": Expired}


class _FakeBox:
    """Stands in for a key's Norvane: raises a given ValueError, counts calls."""

    def __init__(self, message):
        self.message, self.calls = message, 0

    def decrypt_for(self, token, purpose):
        self.calls += 1
        raise ValueError(self.message)


@pytest.mark.parametrize("name, message", _error_rows(), ids=[name for name, _ in _error_rows()])
def test_every_module_message_is_classified_and_only_tampering_tries_the_next_key(name, message):
    ring = Keyring(Backend.AES256_GCM, [KEY, OTHER_KEY])
    first, second = _FakeBox(message), _FakeBox(TAMPERED)
    object.__setattr__(ring, "_boxes", (first, second))
    error = raised(ring.decrypt_for, "token", "p")
    kind = OPENING_KINDS.get(name)
    # A message that no opening gives (minting, key configuration) is not a
    # refusal of a token: it passes through as the module raised it.
    assert type(error) is (kind or ValueError) and str(error) == message
    assert (first.calls, second.calls) == (1, 1 if kind is Tampered else 0)


def test_argument_errors_of_the_module_pass_through(backend):
    ring = Keyring(backend, [KEY, OTHER_KEY])
    error = raised(ring.decrypt, b"token")
    assert (type(error), error.__notes__) == (TypeError, ["while processing 'token'"])
    assert type(raised(ring.decrypt_for, "a.b.c", None)) is TypeError


# -- minting and rotating -------------------------------------------------------------------------------


@pytest.mark.parametrize("options, kind, message", [
    ({"expires_at": 0}, ValueError, "expires_at must be greater than zero — pass None for no expiry"),
    ({"purpose": ""}, ValueError, "purpose must not be empty — pass None for the default instead"),
    ({"ttl": 60, "expires_at": 2**40}, ValueError, "expires_at and ttl were both provided — pass at most one"),
    ({"ttl": 0}, ValueError, "ttl must be at least one second — pass None for no expiry"),
    ({"ttl": -5}, ValueError, "ttl must be at least one second — pass None for no expiry"),
    ({"ttl": 2**64}, OverflowError, "ttl reaches past the latest expiry a token can hold"),
    ({"ttl": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_minting_refusals_are_the_callers_mistakes_not_token_errors(backend, options, kind, message):
    error = raised(Keyring(backend, [KEY]).encrypt, b"x", **options)
    assert type(error) is kind and str(error) == message


def test_ttl_counts_from_the_current_second(run_with_clock):
    child = run_with_clock(
        """
        import os
        from norvanes import Backend
        from norvanes_keyring import Keyring, peek
        ring = Keyring(Backend.AES256_GCM, [1])
        os.environ["NORVANE_TEST_CLOCK"] = "1700000000"
        token = ring.encrypt(b"x", ttl=60)
        print(peek(token).expires_at, ring.decrypt(token))
        os.environ["NORVANE_TEST_CLOCK"] = "1700000060"
        try:
            ring.decrypt(token)
        except Exception as error:
            print(type(error).__name__, error)
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["1700000060 b'x'", "Expired token has expired"]


@pytest.mark.parametrize("expires_at, purpose", [(None, "session"), (2**64 - 1, "api-handle"), (4_000_000_000, "é")])
def test_rotate_moves_a_token_to_the_primary_key_keeping_its_context(backend, expires_at, purpose):
    old_token = minted(backend, key=OTHER_KEY, data="données".encode(), expires_at=expires_at, purpose=purpose)
    moved = Keyring(backend, [KEY, OTHER_KEY]).rotate(old_token, purpose)
    assert Norvane(backend, key=KEY).decrypt_for(moved, purpose) == "données".encode()
    assert str(raised(Norvane(backend, key=OTHER_KEY).decrypt_for, moved, purpose)) == TAMPERED
    before, after = peek(old_token), peek(moved)
    assert (after.expires_at, after.purpose, after.data_len) == (before.expires_at, purpose, len("données".encode()))
    assert moved.split(".")[0] != old_token.split(".")[0]  # a fresh nonce


# -- peek ----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("data, expires_at, purpose", [
    (b"", None, "session"), (b"12345", 1, "p"), (b"x" * 16384, 2**64 - 1, "ü" * 127),
])
def test_peek_reads_what_the_token_carries(backend, data, expires_at, purpose):
    token = minted(backend, data=data, expires_at=expires_at, purpose=purpose)
    assert peek(token) == TokenInfo(backend=backend, expires_at=expires_at, purpose=purpose, data_len=len(data))


def _hand_made():
    """(id, token, what peek gives: a TokenInfo, or the message of its InvalidToken)."""
    good = join(bytes(12), context_record(0, "session"), bytes(21))
    nonce, context, sealed = good.split(".")
    return [
        ("nonce-18", join(bytes(18), context_record(7, "s"), bytes(16)), TokenInfo(None, 7, "s", 0)),
        ("nonce-0", join(b"", context_record(0, ""), bytes(16)), TokenInfo(None, None, "", 0)),
        ("oversized", good + "A" * (32769 - len(good)), "invalid token"),
        ("oversized-utf8", good + "é" * 16384, "invalid token"),
        ("two-fields", f"{nonce}.{context}", "invalid token"),
        ("lost-padding", f"{nonce}.{context.rstrip('=')}.{sealed}", "base64 is invalid"),
        ("spare-bits", f"{nonce}.{context}.{b64e(bytes(16))[:-3]}R==", "base64 is invalid"),
        ("non-ascii", f"{nonce}.{context}.{sealed[:-1]}é", "base64 is invalid"),
        ("surrogate", f"{nonce}.{context}.{sealed[:-1]}\udc80", "base64 is invalid"),
        ("sealed-15", join(bytes(12), context_record(0, "s"), bytes(15)), "invalid token"),
        ("version-2", join(bytes(12), b"\x02" + context_record(0, "s")[1:], bytes(16)), "invalid token"),
        ("short-record", join(bytes(12), context_record(0, "s")[:9], bytes(16)), "invalid token"),
        ("trailing-byte", join(bytes(12), context_record(0, "s") + b"x", bytes(16)), "invalid token"),
        ("purpose-not-utf8", join(bytes(12), context_record(0, "s")[:-1] + b"\xff", bytes(16)), "invalid token"),
    ]


@pytest.mark.parametrize("token, expected", [r[1:] for r in _hand_made()], ids=[r[0] for r in _hand_made()])
def test_peek_on_hand_made_tokens(token, expected):
    if isinstance(expected, TokenInfo):
        assert peek(token) == expected
    else:
        error = raised(peek, token)
        assert (type(error), str(error)) == (InvalidToken, expected)


def test_peek_refuses_what_is_not_a_str():
    error = raised(peek, b"a.b.c")
    assert (type(error), str(error), error.__notes__) == (
        TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'token'"])


def _non_canonical(field):
    """Texts near a canonical field: each changes it in one way that the
    encoder never writes, or in one that it does (the comparison decides)."""
    padded = field.endswith("=")
    body = field.rstrip("=")
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    bumped = alphabet[(alphabet.index(body[-1]) + 1) % 64] if body else ""
    return {
        "plus-first": "+" + field[1:], "slash-last": body[:-1] + "/" + field[len(body):], "plus-added": field + "+",
        "slash-group": field + "ab/+", "std-alphabet": field.replace("-", "+").replace("_", "/"),
        "padding-lost": body, "padding-added": field + "=", "padding-doubled": field + "==",
        "padding-group": field + "====", "padding-inside": field[:2] + "=" + field[2:],
        "padding-only": "=" * (4 - len(body) % 4 if padded else 4),
        "spare-bits": body[:-1] + bumped + field[len(body):],
        "space-before": " " + field, "newline-after": field + "\n", "crlf-after": field + "\r\n",
        "tab-inside": field[:4] + "\t" + field[4:], "space-in-padding": body + " " + field[len(body):],
        "nbsp": field + "\u00a0", "e-acute": field[:-1] + "é", "fullwidth-a": "Ａ" + field[1:],
        "arabic-digit": field[:-1] + "٣", "surrogate": field + "\udc80", "nul": field + "\0",
        "group-added": field + "AAAA", "one-char-more": body + "A",
    }


def _field_table():
    """(id, token) with one field of the token replaced."""
    good = [b64e(context_record(0, "pq")), b64e(bytes(16))]
    rows = []
    for length in (0, 1, 2, 3, 12, 17):
        base = b64e(bytes(range(200, 200 + length)))
        for name, text in [("canonical", base), *_non_canonical(base).items()]:
            for position in range(3):
                fields = [b64e(bytes(12)), *good]
                fields[position] = text
                rows.append((f"{position}-{length}-{name}", ".".join(fields)))
    return rows


@pytest.mark.filterwarnings("error")  # a warning of the standard library's decoders fails the test
def test_peek_refuses_exactly_the_fields_that_opening_refuses(backend):
    box = Norvane(backend, key=KEY)
    verdicts = []
    for name, token in _field_table():
        try:
            box.decrypt(token)
            opened = None
        except UnicodeEncodeError:
            opened = "base64 is invalid"  # a lone surrogate: the module cannot even encode the text
        except ValueError as error:
            opened = str(error)
        try:
            peek(token)
            peeked = None
        except InvalidToken as error:
            peeked = str(error)
        assert (opened == "base64 is invalid") == (peeked == "base64 is invalid"), name
        verdicts.append(opened == "base64 is invalid")
    # Both verdicts occur: the table holds the canonical texts among the rest.
    assert verdicts.count(False) >= 18 and verdicts.count(True) > 20 * 18


@pytest.mark.filterwarnings("error")
def test_peek_decodes_exactly_what_opening_decodes(backend):
    # Every one-character change of a token, with characters inside and
    # outside the alphabet: peek finds "base64 is invalid" exactly where
    # opening does.
    token = minted(backend, data=b"abcd", purpose="pq")
    box = Norvane(backend, key=KEY)
    checked = 0
    for i in range(len(token)):
        for c in "AQgw-_=+/. é":
            changed = token[:i] + c + token[i + 1:]
            try:
                box.decrypt(changed)
                opened = None
            except ValueError as error:
                opened = str(error)
            try:
                peek(changed)
                peeked = None
            except InvalidToken as error:
                peeked = str(error)
            assert (opened == "base64 is invalid") == (peeked == "base64 is invalid"), changed
            checked += opened == "base64 is invalid"
    assert checked > len(token) * 4


# -- documentation, types and installation ----------------------------------------------------------------


def _doc_blocks():
    return re.findall(r"```python\n(# (\w+)\.py\n.*?)```", (DOCS / "keyring.md").read_text(), re.DOTALL)


def test_the_flask_example_holds(monkeypatch):
    blocks = {name: code for code, name in _doc_blocks()}
    assert sorted(blocks) == ["app", "tokens"]
    compile(blocks["app"], "app.py", "exec")  # Flask itself is not a test dependency
    monkeypatch.setenv("APP_TOKEN_KEY_B", str(KEY))
    monkeypatch.setenv("APP_TOKEN_KEY_A", str(OTHER_KEY))
    monkeypatch.setenv("APP_TOKEN_KEYS", "APP_TOKEN_KEY_B,APP_TOKEN_KEY_A")
    app: dict = {}
    exec(blocks["tokens"], app)
    backend = Backend.XCHACHA20_POLY1305

    assert app["user_from_session"](app["session_cookie"](42)) == (42, None)
    user, renewed = app["user_from_session"](minted(backend, key=OTHER_KEY, data=b"7", expires_at=4_000_000_000))
    assert user == 7 and renewed is None  # far from expiry: no renewal
    user, renewed = app["user_from_session"](minted(backend, key=OTHER_KEY, data=b"7", expires_at=peek(
        app["session_cookie"](7)).expires_at - app["SESSION_TTL"] // 2 - 5))
    assert user == 7 and Norvane(backend, key=KEY).decrypt(renewed) == b"7"  # renewed under the new key
    for bad in ["", modified(app["session_cookie"](1)), minted(backend, data=b"1", expires_at=1),
                minted(backend, key=THIRD_KEY, data=b"1")]:
        assert app["user_from_session"](bad) is None

    assert app["user_from_reset_token"](app["reset_token"](42, 3)) == (42, 3)
    assert type(raised(app["user_from_reset_token"], minted(backend, data=b"42:3", expires_at=1,
                                                            purpose="password-reset"))) is Expired
    assert type(raised(app["user_from_reset_token"], app["session_cookie"](42))) is WrongPurpose


def _mypy(path, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if FROM_SOURCE:
        # Checks the package's own source as strictly as the file that uses it.
        env["MYPYPATH"] = os.pathsep.join([str(ROOT / "binding"), str(ROOT / "python")])
    env["MYPY_CACHE_DIR"] = str(tmp_path / "mypy-cache")
    # Flat-file cache, as in test_typing: sqlite3 is optional in an interpreter.
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--strict-bytes", "--no-pretty",
                           "--show-error-codes", "--no-color-output", "--no-sqlite-cache", str(path)],
                          capture_output=True, text=True, env=env, cwd=str(path.parent), timeout=600)


@pytest.fixture
def needs_mypy():
    try:
        import mypy  # noqa: F401
    except ImportError:
        (pytest.fail if os.environ.get("CI") == "true" else pytest.skip)("mypy is not installed here")


def test_typed_use_passes_strict_checking_and_runs(needs_mypy, tmp_path):
    result = _mypy(FIXTURES / "keyring_usage.py", tmp_path)
    assert result.returncode == 0 and result.stdout.startswith("Success: no issues found in 1 source file"), \
        result.stdout + result.stderr
    child = subprocess.run([sys.executable, str(FIXTURES / "keyring_usage.py")], capture_output=True, text=True,
                           timeout=120)
    assert (child.returncode, child.stdout) == (0, "ok\n"), child.stderr


def test_misuse_is_rejected_line_by_line(needs_mypy, tmp_path):
    path = FIXTURES / "keyring_misuse.py"
    # Each rejected line and the codes accepted for it: releases before 1.19
    # file too many positional arguments under "misc", later ones "call-arg".
    expected = {number: set(m.group(1).split("|"))
                for number, line in enumerate(path.read_text().splitlines(), start=1)
                if (m := re.search(r"# E: ([a-z|-]+)$", line))}
    result = _mypy(path, tmp_path)
    reported = [(int(n), code) for n, code in
                re.findall(r"^keyring_misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.MULTILINE)]
    assert result.returncode == 1, result.stdout + result.stderr
    assert sorted(n for n, _ in reported) == sorted(expected), result.stdout + result.stderr
    assert all(code in expected[n] for n, code in reported), result.stdout + result.stderr


@pytest.mark.skipif(FROM_SOURCE, reason="the keyring is imported from the source folder here")
def test_installed_package_is_the_source_and_typed():
    shipped = sorted(p.name for p in PACKAGE_DIR.iterdir() if p.name != "__pycache__")
    assert shipped == ["__init__.py", "py.typed"]
    if (ROOT / "python" / "norvanes_keyring").is_dir():
        assert (PACKAGE_DIR / "__init__.py").read_bytes() == (ROOT / "python/norvanes_keyring/__init__.py").read_bytes()


@pytest.mark.skipif(not os.environ.get("NORVANE_BUILD_DIR") or shutil.which("cmake") is None,
                    reason="needs NORVANE_BUILD_DIR and cmake")
def test_cmake_install_puts_the_keyring_beside_the_module(tmp_path):
    subprocess.run(["cmake", "--install", os.environ["NORVANE_BUILD_DIR"], "--prefix", str(tmp_path),
                    "--component", "python"], check=True, capture_output=True, timeout=600)
    site = next(tmp_path.glob("lib*/python3.*/site-packages"))
    assert sorted(p.name for p in (site / "norvanes_keyring").iterdir()) == ["__init__.py", "py.typed"]
    child = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        from norvanes import Backend
        from norvanes_keyring import Keyring
        ring = Keyring(Backend.AES256_GCM, [1])
        print(ring.decrypt(ring.encrypt(b"installed")).decode())
        """)], capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(site)}, timeout=120)
    assert (child.returncode, child.stdout) == (0, "installed\n"), child.stderr
