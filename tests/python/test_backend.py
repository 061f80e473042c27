"""Backend: the two members, their repr, int value, comparisons and hashing."""

import operator

import pytest

from norvanes import Backend, Norvane

AES = Backend.AES256_GCM
XCHACHA = Backend.XCHACHA20_POLY1305

BACKEND_DOC = (
    "Which standard AEAD construction to use. There is no \"auto\" option \u2014\n"
    "a token minted under one backend can't be read by the other, so pick\n"
    "one explicitly and keep it consistent across every process that needs\n"
    "to read the same tokens."
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __index__(self):
        raise RuntimeError("no index today")


@pytest.mark.parametrize(
    "member, text, value",
    [(AES, "Backend.AES256_GCM", 0), (XCHACHA, "Backend.XCHACHA20_POLY1305", 1)],
)
def test_repr_str_and_int(member, text, value):
    assert repr(member) == text
    assert str(member) == text
    assert int(member) == value
    assert type(int(member)) is int
    assert type(member) is Backend


def test_no_index_protocol():
    with pytest.raises(TypeError):
        operator.index(AES)
    with pytest.raises(TypeError):
        [10, 20][XCHACHA]


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (AES, AES, True),
        (XCHACHA, XCHACHA, True),
        (AES, XCHACHA, False),
        (AES, 0, True),
        (XCHACHA, 1, True),
        (AES, False, True),
        (XCHACHA, True, True),
        (AES, Index(0), True),
        (XCHACHA, Index(1), True),
        (AES, 1, False),
        (XCHACHA, 0, False),
        (AES, -1, False),
        (AES, 0.0, False),
        (AES, "AES256_GCM", False),
        (AES, None, False),
        (XCHACHA, 2**40, False),
        (AES, 2**70, False),
        (AES, -(2**70), False),
        (AES, IndexRaises(), False),
        (AES, object(), False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    # The reflected operation reaches the same slot.
    assert (right == left) is equal
    assert (right != left) is (not equal)


def test_equality_never_leaves_an_exception_behind():
    # __index__ raising inside the comparison is swallowed, and the next
    # call still works normally.
    assert (AES == IndexRaises()) is False
    assert (AES == 0) is True


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [AES, XCHACHA, 0, 1, True])
def test_members_have_no_order(op, other):
    with pytest.raises(TypeError):
        op(AES, other)


@pytest.mark.parametrize("use", [hash, lambda m: {m: 1}, lambda m: {m}])
def test_members_are_unhashable(use):
    with pytest.raises(TypeError):
        use(AES)
    assert Backend.__hash__ is None


def test_cannot_instantiate():
    with pytest.raises(TypeError):
        Backend()
    with pytest.raises(TypeError):
        Backend(0)


def test_identity_is_stable():
    assert Backend.AES256_GCM is AES
    assert Backend.XCHACHA20_POLY1305 is XCHACHA
    assert list(k for k in vars(Backend) if k.isupper()) == ["AES256_GCM", "XCHACHA20_POLY1305"]


def test_docstring():
    assert Backend.__doc__ == BACKEND_DOC
    assert Backend.__text_signature__ is None


def test_class_attributes_are_rebindable(monkeypatch):
    monkeypatch.setattr(Backend, "AES256_GCM", 5)
    assert Backend.AES256_GCM == 5
    # The member itself and the rest of the type keep working.
    assert repr(XCHACHA) == "Backend.XCHACHA20_POLY1305"
    token = Norvane(AES, key=1).encrypt(b"data")
    assert Norvane(AES, key=1).decrypt(token) == b"data"
    monkeypatch.undo()
    assert Backend.AES256_GCM is AES
