"""Norvane.encrypt: binding, conversion, the UTF-8 check, limits and token shape."""

import math
import random
import string

import pytest

from norvanes import Backend, Norvane

from conftest import KEY, NONCE_LEN, b64d, context_record, fields, raised

ZERO_EXPIRY = "expires_at must be greater than zero \u2014 pass None for no expiry"
EMPTY_PURPOSE = "purpose must not be empty \u2014 pass None for the default instead"
PURPOSE_TOO_LONG = "purpose exceeds the 255-byte limit"
TOO_LONG = "plaintext exceeds the 16384-byte limit"

ENCRYPT_DOC = "\n".join(
    [
        "Encrypts up to 16,384 UTF-8 bytes and returns a str token.",
        "",
        "expires_at must be None (no expiry) or a positive Unix timestamp",
        "in seconds; zero raises ValueError. An explicit purpose must contain",
        '1 to 255 UTF-8 bytes; None uses "session".',
        "",
        "Encryption errors, including unavailable operating system",
        "randomness, are reported as ValueError. An expiry outside the",
        "unsigned 64-bit integer range raises OverflowError.",
    ]
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def token_length(nonce_len, purpose_len, data_len):
    return 4 * math.ceil(nonce_len / 3) + 1 + 4 * math.ceil((10 + purpose_len) / 3) + 1 + 4 * math.ceil((data_len + 16) / 3)


def test_docstring_and_signature():
    assert Norvane.encrypt.__doc__ == ENCRYPT_DOC
    assert Norvane.encrypt.__text_signature__ == "($self, data, expires_at=None, purpose=None)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((b"a", None, None, None), {}, "Norvane.encrypt() takes from 1 to 3 positional arguments but 4 were given"),
        ((), {}, "Norvane.encrypt() missing 1 required positional argument: 'data'"),
        ((), {"purpose": "p"}, "Norvane.encrypt() missing 1 required positional argument: 'data'"),
        ((b"a",), {"expiry": 5}, "Norvane.encrypt() got an unexpected keyword argument 'expiry'"),
        ((b"a",), {"data": b"b"}, "Norvane.encrypt() got multiple values for argument 'data'"),
        ((b"a", 5), {"expires_at": 5}, "Norvane.encrypt() got multiple values for argument 'expires_at'"),
        ((b"a", 5, "p"), {"purpose": None}, "Norvane.encrypt() got multiple values for argument 'purpose'"),
        # Binding comes before any conversion.
        (("not bytes", 1.5, 7, 8), {}, "Norvane.encrypt() takes from 1 to 3 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(box, args, kwargs, message):
    error = raised(box.encrypt, *args, **kwargs)
    assert type(error) is TypeError and str(error) == message
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize(
    "kwargs, exc_type, message, note",
    [
        ({"data": "text"}, TypeError, "'str' object is not an instance of 'bytes'", "data"),
        ({"data": bytearray(b"x")}, TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
        ({"data": memoryview(b"x")}, TypeError, "'memoryview' object is not an instance of 'bytes'", "data"),
        ({"data": None}, TypeError, "'None' is not an instance of 'bytes'", "data"),
        ({"data": 5}, TypeError, "'int' object is not an instance of 'bytes'", "data"),
        ({"data": b"x", "expires_at": -1}, OverflowError, None, "expires_at"),
        ({"data": b"x", "expires_at": 2**64}, OverflowError, None, "expires_at"),
        ({"data": b"x", "expires_at": Index(-5)}, OverflowError, None, "expires_at"),
        ({"data": b"x", "expires_at": 1.0}, TypeError, None, "expires_at"),
        ({"data": b"x", "expires_at": "10"}, TypeError, None, "expires_at"),
        ({"data": b"x", "purpose": b"session"}, TypeError, "'bytes' object is not an instance of 'str'", "purpose"),
        ({"data": b"x", "purpose": 3}, TypeError, "'int' object is not an instance of 'str'", "purpose"),
        ({"data": b"x", "purpose": "\ud800"}, UnicodeEncodeError, None, "purpose"),
        # Conversions run in parameter order, and all before the UTF-8 check.
        ({"data": "x", "expires_at": -1, "purpose": 3}, TypeError, "'str' object is not an instance of 'bytes'", "data"),
        ({"data": b"x", "expires_at": -1, "purpose": 3}, OverflowError, None, "expires_at"),
        ({"data": b"\xff", "purpose": 3}, TypeError, "'int' object is not an instance of 'str'", "purpose"),
        ({"data": b"x" * 20000, "expires_at": 2**64}, OverflowError, None, "expires_at"),
    ],
)
def test_conversion_errors_carry_a_note(box, kwargs, exc_type, message, note):
    error = raised(box.encrypt, **kwargs)
    assert type(error) is exc_type
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"data": b"x", "expires_at": 0}, ZERO_EXPIRY),
        ({"data": b"x", "expires_at": False}, ZERO_EXPIRY),
        ({"data": b"x", "expires_at": Index(0)}, ZERO_EXPIRY),
        ({"data": b"x", "purpose": ""}, EMPTY_PURPOSE),
        ({"data": b"x", "purpose": "p" * 256}, PURPOSE_TOO_LONG),
        ({"data": b"x", "purpose": "\u00e9" * 128}, PURPOSE_TOO_LONG),
        ({"data": b"x" * 16385}, TOO_LONG),
        ({"data": "\u00e9".encode() * 8193}, TOO_LONG),
        # The first failing check decides.
        ({"data": b"x" * 16385, "expires_at": 0, "purpose": ""}, TOO_LONG),
        ({"data": b"x", "expires_at": 0, "purpose": ""}, ZERO_EXPIRY),
        ({"data": b"x", "purpose": "", "expires_at": 5}, EMPTY_PURPOSE),
    ],
)
def test_minting_errors(box, kwargs, message):
    error = raised(box.encrypt, **kwargs)
    assert type(error) is ValueError and error.args == (message,)
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
        (b"\xe2\x28\xa1", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
        (b"\xf0\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
        (b"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf0\x90\x28", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf0\x90\x80\x28", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
        (b"\xe0\xa0", "incomplete utf-8 byte sequence from index 0"),
        (b"\xf4\x8f\xbf", "incomplete utf-8 byte sequence from index 0"),
        (b"\xe0", "incomplete utf-8 byte sequence from index 0"),
        # The ASCII fast path must still report exact indexes.
        (b"a" * 13 + b"\xff", "invalid utf-8 sequence of 1 bytes from index 13"),
        (b"a" * 16 + b"\xc3", "incomplete utf-8 byte sequence from index 16"),
        (b"a" * 7 + "\u00e9".encode() + b"b" * 9 + b"\xbf", "invalid utf-8 sequence of 1 bytes from index 18"),
        # The whole buffer is checked, even beyond the size limit.
        (b"\xff" * 20000, "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"x" * 20000 + b"\xff", "invalid utf-8 sequence of 1 bytes from index 20000"),
    ],
)
def test_utf8_errors(box, data, message):
    error = raised(box.encrypt, data)
    assert type(error) is ValueError and error.args == (message,)
    assert not hasattr(error, "__notes__")


def _python_verdict(data):
    """What the check must say, taken from CPython's own UTF-8 decoder,
    which locates errors the same way (maximal valid prefix)."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {e.start}"
        return f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


def test_utf8_check_agrees_with_cpython_decoder():
    rng = random.Random(20240601)
    pieces = [b"a", b"\x7f", "\u00e9".encode(), "\u20ac".encode(), "\U0001f600".encode(), b"\x80", b"\xbf",
              b"\xc2", b"\xe0", b"\xed", b"\xef", b"\xf0", b"\xf4", b"\xf5", b"\xff", b"\xa0", b"\x90", b"\x8f"]
    box = Norvane(Backend.AES256_GCM, key=KEY)
    for _ in range(3000):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(0, 12)))
        expected = _python_verdict(data)
        if expected is None:
            assert box.decrypt(box.encrypt(data)) == data
        else:
            assert str(raised(box.encrypt, data)) == expected, data


@pytest.mark.parametrize("data_len", [0, 1, 2, 3, 5, 100, 16384])
@pytest.mark.parametrize("purpose", [None, "p", "session", "x" * 255, "\u00e9" * 127])
def test_token_length_and_alphabet(box, backend_name, data_len, purpose):
    token = box.encrypt(b"d" * data_len, purpose=purpose)
    purpose_len = len((purpose or "session").encode())
    assert len(token) == token_length(NONCE_LEN[backend_name], purpose_len, data_len)
    assert set(token) <= set(string.ascii_letters + string.digits + "-_=.")
    nonce, context, sealed = fields(token)
    assert len(nonce) == NONCE_LEN[backend_name]
    assert context == context_record(0, purpose or "session")
    assert len(sealed) == data_len + 16


@pytest.mark.parametrize("backend_name, length", [("AES256_GCM", 70), ("XCHACHA20_POLY1305", 86)])
def test_reference_token_lengths(backend_name, length):
    assert len(Norvane(getattr(Backend, backend_name), key=KEY).encrypt(b"hello")) == length


def test_longest_token():
    token = Norvane(Backend.XCHACHA20_POLY1305, key=KEY).encrypt(b"x" * 16384, purpose="p" * 255)
    assert len(token) == 22258


@pytest.mark.parametrize(
    "expires_at, stored",
    [(1, 1), (True, 1), (2**64 - 1, 2**64 - 1), (1_700_000_000, 1_700_000_000), (Index(42), 42),
     (type("Seconds", (int,), {})(77), 77), (None, 0)],
)
def test_expiry_is_stored_unchanged(box, expires_at, stored):
    _, context, _ = fields(box.encrypt(b"x", expires_at))
    assert context == context_record(stored, "session")


def test_default_purpose_equals_explicit_session(box):
    _, implicit, _ = fields(box.encrypt(b"x"))
    _, explicit, _ = fields(box.encrypt(b"x", purpose="session"))
    _, by_none, _ = fields(box.encrypt(b"x", None, None))
    assert implicit == explicit == by_none == context_record(0, "session")


def test_purpose_subclass_and_exact_limit(box):
    purpose = type("Label", (str,), {})("q" * 255)
    token = box.encrypt(b"x", purpose=purpose)
    assert fields(token)[1] == context_record(0, "q" * 255)
    assert box.decrypt_for(token, "q" * 255) == b"x"


def test_bytes_subclass_and_limit(box):
    data = type("Payload", (bytes,), {})(b"z" * 16384)
    assert box.decrypt(box.encrypt(data)) == b"z" * 16384


def test_two_mints_differ_only_by_randomness(box):
    first, second = box.encrypt(b"same", 99, "p"), box.encrypt(b"same", 99, "p")
    (n1, c1, s1), (n2, c2, s2) = fields(first), fields(second)
    assert c1 == c2
    assert n1 != n2 and s1 != s2


def test_all_keywords(box):
    token = box.encrypt(purpose="kw", expires_at=2**63, data=b"by keyword")
    assert box.decrypt_for(purpose="kw", token=token) == b"by keyword"


def test_failures_leave_the_object_usable(box):
    for bad in ({"data": b"\xff"}, {"data": b"x", "expires_at": 0}, {"data": 1}):
        with pytest.raises((TypeError, ValueError)):
            box.encrypt(**bad)
    assert box.decrypt(box.encrypt(b"ok")) == b"ok"


def test_empty_data(box):
    token = box.encrypt(b"")
    assert len(token.split(".")[2]) == 24
    assert len(b64d(token.split(".")[2])) == 16
