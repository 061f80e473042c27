"""Norvane(backend, key=None, key_env=None): binding, conversion, key sources."""

import pytest

from norvanes import Backend, Norvane

from conftest import KEY, raised

AES = Backend.AES256_GCM
XCHACHA = Backend.XCHACHA20_POLY1305
ENV = "NORVANES_TEST_KEY"

MISSING_KEY = "the key or key_env must be passed"
CONFLICTING = "key and key_env were both provided \u2014 pass exactly one"
INVALID_ENV = "the value of key_env is invalid"

NORVANE_DOC = "\n".join(
    [
        "Encrypts UTF-8 bytes using the selected AEAD backend.",
        "",
        "Pass exactly one of key (a random 128-bit integer) or key_env",
        "(the name of an environment variable containing a decimal key).",
        "Reuse the same key and backend across processes that share tokens.",
        "Invalid key configuration raises ValueError; a direct key above",
        "2**128 - 1 raises OverflowError. A negative direct key raises ValueError",
        "or OverflowError depending on the Python interpreter.",
        "",
        "Version 3.0 reads 2.x tokens, but rejects expires_at=0 on encryption.",
    ]
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class NoteRefused(Exception):
    def add_note(self, note):
        raise RuntimeError("notes are not welcome here")


class IndexRefusesNotes:
    def __index__(self):
        raise NoteRefused("custom failure")


def same_key(a, b):
    """True when two objects hold the same cipher key: each opens the other's tokens."""
    try:
        return a.decrypt(b.encrypt(b"probe")) == b"probe" and b.decrypt(a.encrypt(b"probe")) == b"probe"
    except ValueError as error:
        assert str(error) == "the data has been modified"
        return False


def test_docstring_and_signature():
    assert Norvane.__doc__ == NORVANE_DOC
    assert Norvane.__text_signature__ == "(backend, key=None, key_env=None)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((AES, 1, None, None), {}, "Norvane.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        ((AES, 1, None, None, 5), {}, "Norvane.__new__() takes from 1 to 3 positional arguments but 5 were given"),
        ((AES,), {"secret": 1}, "Norvane.__new__() got an unexpected keyword argument 'secret'"),
        ((AES,), {"Key": 1}, "Norvane.__new__() got an unexpected keyword argument 'Key'"),
        ((AES, 1), {"key": 1}, "Norvane.__new__() got multiple values for argument 'key'"),
        ((AES, None), {"key": None}, "Norvane.__new__() got multiple values for argument 'key'"),
        ((AES,), {"backend": AES}, "Norvane.__new__() got multiple values for argument 'backend'"),
        ((), {}, "Norvane.__new__() missing 1 required positional argument: 'backend'"),
        ((), {"key": 1}, "Norvane.__new__() missing 1 required positional argument: 'backend'"),
        # Keywords are checked in the order given, before missing parameters.
        ((), {"key": 1, "nope": 2}, "Norvane.__new__() got an unexpected keyword argument 'nope'"),
        # Too many positionals wins over everything, conversion included.
        ((None, 2**200, 5, 6), {"nope": 1}, "Norvane.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(args, kwargs, message):
    error = raised(Norvane, *args, **kwargs)
    assert type(error) is TypeError
    assert str(error) == message
    assert not hasattr(error, "__notes__")


def test_keyword_name_with_surrogate_is_reported_not_crashed():
    error = raised(Norvane, AES, **{"k\udce9y": 1})
    assert type(error) is TypeError
    assert str(error).startswith("Norvane.__new__() got an unexpected keyword argument 'k")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((AES, KEY), {}),
        ((AES,), {"key": KEY}),
        ((), {"backend": AES, "key": KEY}),
        ((), {"key": KEY, "backend": AES}),
        ((AES, KEY, None), {}),
        ((AES,), {"key": KEY, "key_env": None}),
    ],
)
def test_equivalent_spellings(args, kwargs):
    assert same_key(Norvane(*args, **kwargs), Norvane(AES, key=KEY))


@pytest.mark.parametrize(
    "kwargs, exc_type, message, note",
    [
        ({"backend": None, "key": 1}, TypeError, "'None' is not an instance of 'Backend'", "backend"),
        ({"backend": 0, "key": 1}, TypeError, "'int' object is not an instance of 'Backend'", "backend"),
        ({"backend": "AES256_GCM", "key": 1}, TypeError, "'str' object is not an instance of 'Backend'", "backend"),
        ({"backend": Backend, "key": 1}, TypeError, "'type' object is not an instance of 'Backend'", "backend"),
        ({"backend": AES, "key": 1.0}, TypeError, None, "key"),
        ({"backend": AES, "key": "1"}, TypeError, None, "key"),
        ({"backend": AES, "key": 2**128}, OverflowError, None, "key"),
        ({"backend": AES, "key": Index(2**128)}, OverflowError, None, "key"),
        ({"backend": AES, "key": -1}, (OverflowError, ValueError), None, "key"),
        ({"backend": AES, "key_env": 5}, TypeError, "'int' object is not an instance of 'str'", "key_env"),
        ({"backend": AES, "key_env": b"NAME"}, TypeError, "'bytes' object is not an instance of 'str'", "key_env"),
        ({"backend": AES, "key_env": "\udc80"}, UnicodeEncodeError, None, "key_env"),
        # Conversion comes before the key-source rules.
        ({"backend": AES, "key": 1, "key_env": 5}, TypeError, "'int' object is not an instance of 'str'", "key_env"),
        ({"backend": AES, "key": 2**128, "key_env": ENV}, OverflowError, None, "key"),
        ({"backend": None, "key": 2**128, "key_env": 5}, TypeError, "'None' is not an instance of 'Backend'", "backend"),
    ],
)
def test_conversion_errors_carry_a_note(kwargs, exc_type, message, note):
    error = raised(Norvane, **kwargs)
    assert isinstance(error, exc_type)
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{note}'"]


def test_index_error_keeps_its_own_type_and_message():
    error = raised(Norvane, AES, key=IndexRefusesNotes())
    assert type(error) is NoteRefused
    assert str(error) == "custom failure"
    # add_note itself failed, so the exception goes out without a note.
    assert not hasattr(error, "__notes__")


def test_subclass_of_str_is_accepted_as_key_env(monkeypatch):
    monkeypatch.setenv(ENV, str(KEY))
    name = type("Name", (str,), {})(ENV)
    assert same_key(Norvane(AES, key_env=name), Norvane(AES, key=KEY))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, MISSING_KEY),
        ({"key": None}, MISSING_KEY),
        ({"key": None, "key_env": None}, MISSING_KEY),
        ({"key": 1, "key_env": "NORVANES_TEST_UNSET_VARIABLE"}, CONFLICTING),
        ({"key": 0, "key_env": ""}, CONFLICTING),
        ({"key_env": "NORVANES_TEST_UNSET_VARIABLE"}, INVALID_ENV),
        ({"key_env": ""}, INVALID_ENV),
        ({"key_env": "NORVANES\0TEST"}, INVALID_ENV),
        ({"key_env": "\0"}, INVALID_ENV),
    ],
)
def test_key_source_errors(backend, kwargs, message):
    error = raised(Norvane, backend, **kwargs)
    assert type(error) is ValueError
    assert error.args == (message,)
    assert error.__cause__ is None
    assert not hasattr(error, "__notes__")


def test_conflict_does_not_read_the_environment(monkeypatch):
    monkeypatch.setenv(ENV, "not a number")
    assert str(raised(Norvane, AES, key=1, key_env=ENV)) == CONFLICTING


def test_nul_in_name_never_reaches_the_lookup(monkeypatch):
    # A lookup of the name cut at the NUL would find this valid variable.
    monkeypatch.setenv(ENV, "5")
    assert str(raised(Norvane, AES, key_env=ENV + "\0suffix")) == INVALID_ENV


def test_a_name_with_an_equals_sign_names_no_variable(monkeypatch):
    # The C library's getenv would match "ENV=1" against the entry
    # "ENV=1=5" and return "5", a key the caller never named.
    monkeypatch.setenv(ENV, "1=5")
    assert str(raised(Norvane, AES, key_env=ENV + "=1")) == INVALID_ENV


@pytest.mark.parametrize(
    "key",
    [0, 1, 2**64, 2**120 - 1, 2**127, 2**128 - 1, KEY, True, False, Index(12345), type("Int", (int,), {})(99)],
)
def test_direct_key_matches_environment_key(monkeypatch, backend, key):
    monkeypatch.setenv(ENV, str(int(key.__index__())))
    assert same_key(Norvane(backend, key=key), Norvane(backend, key_env=ENV))


@pytest.mark.parametrize(
    "value, key",
    [
        ("0", 0),
        ("+0", 0),
        ("7", 7),
        ("+7", 7),
        ("007", 7),
        ("0" * 40 + "123", 123),
        ("0" * 200 + str(2**128 - 1), 2**128 - 1),
        (str(2**128 - 1), 2**128 - 1),
        ("9" * 32, 10**32 - 1),
        (str(KEY), KEY),
    ],
)
def test_env_values_accepted(monkeypatch, value, key):
    monkeypatch.setenv(ENV, value)
    assert same_key(Norvane(XCHACHA, key_env=ENV), Norvane(XCHACHA, key=key))


@pytest.mark.parametrize(
    "value",
    [
        "",
        "+",
        "-",
        "-0",
        "-1",
        "++1",
        "+-1",
        " 1",
        "1 ",
        "1\n",
        "\t1",
        "1_000",
        "1.0",
        "0x10",
        "1e3",
        "\u0661",  # ARABIC-INDIC DIGIT ONE: a digit, but not ASCII
        str(2**128),
        str(2**129),
        "9" * 39,
    ],
)
def test_env_values_refused(monkeypatch, value):
    monkeypatch.setenv(ENV, value)
    error = raised(Norvane, AES, key_env=ENV)
    assert type(error) is ValueError and error.args == (INVALID_ENV,)


def test_env_value_that_is_not_utf8(monkeypatch):
    import os

    if not hasattr(os, "environb"):
        pytest.skip("no bytes environment on this platform")
    monkeypatch.setitem(os.environb, ENV.encode(), b"12\xff")
    assert str(raised(Norvane, AES, key_env=ENV)) == INVALID_ENV


def test_environment_is_read_once(monkeypatch):
    monkeypatch.setenv(ENV, "11")
    box = Norvane(AES, key_env=ENV)
    monkeypatch.setenv(ENV, "12")
    assert same_key(box, Norvane(AES, key=11))
    assert not same_key(box, Norvane(AES, key_env=ENV))


@pytest.mark.parametrize("key", [0, 1, 2**64, 2**127])
def test_each_key_bit_matters(backend, key):
    # Catches an export that drops bytes or gets their order wrong: keys that
    # differ in one bit must not open each other's tokens.
    for bit in (0, 7, 8, 63, 64, 120, 127):
        other = key ^ (1 << bit)
        token = Norvane(backend, key=other).encrypt(b"x")
        assert str(raised(Norvane(backend, key=key).decrypt, token)) == "the data has been modified"
