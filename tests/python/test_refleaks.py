"""Repeated calls leave reference counts and traced Python memory flat.

The checker calls a function many times and measures how the reference
counts of chosen objects and the memory traced by tracemalloc change. A
small allowance absorbs interpreter caches; a leak of one object per call
exceeds it by far, as the checker's own tests show.
"""

import gc
import sys
import tracemalloc

import pytest

from norvanes import Backend, Norvane

from conftest import KEY

CALLS = 2000
# The smallest object: 16 bytes with 64-bit pointers, 8 with 32-bit ones.
SMALL_OBJECT = sys.getsizeof(object())
# Bytes; one leaked small object per call is twice as much on any word size.
MEMORY_ALLOWANCE = CALLS * SMALL_OBJECT // 2


def growth(fn, watched):
    """Call fn CALLS times; return (refcount changes of watched, memory change)."""
    for _ in range(50):  # warm caches (interned strings, free lists, ...)
        fn()
    tracemalloc.start()
    try:
        # A first round under tracing fills what the interpreter keeps once
        # whatever the calls are (a free-threaded build's per-thread heaps
        # and delayed frees hold some 33 KB after 2000 failed calls, and no
        # more after 10000); a leak grows in the measured second round too.
        for _ in range(CALLS):
            fn()
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            fn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    final = [sys.getrefcount(obj) for obj in watched]
    return [b - a for a, b in zip(counts, final)], after - before


def assert_flat(fn, *watched):
    refs, memory = growth(fn, watched)
    assert refs == [0] * len(watched)
    assert memory < MEMORY_ALLOWANCE


def swallow(fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
            pass

    return call


# The checker must be able to fail.

def test_checker_sees_a_reference_leak():
    kept = []
    # Made at run time: a free-threaded build makes a code object's
    # constants immortal, and an immortal object's count never moves.
    data = "leaked".encode()
    refs, _ = growth(lambda: kept.append(data), [data])
    assert refs == [CALLS]


def test_checker_sees_a_memory_leak():
    kept = []
    refs, memory = growth(lambda: kept.append(object()), [])
    assert refs == []
    assert memory >= CALLS * SMALL_OBJECT > MEMORY_ALLOWANCE


@pytest.fixture(params=["AES256_GCM", "XCHACHA20_POLY1305"])
def setup(request):
    backend = getattr(Backend, request.param)
    box = Norvane(backend, key=KEY)
    return backend, box


def test_encrypt_success(setup):
    _, box = setup
    data, purpose, expiry = b"refcounted data", "leak-check", 2**40 + 12345
    assert_flat(lambda: box.encrypt(data, expiry, purpose), box, data, purpose, expiry)


def test_encrypt_failures(setup):
    _, box = setup
    text, bad_utf8, big = "not bytes", b"\xff\xfe", 2**64
    assert_flat(swallow(box.encrypt, text), box, text)
    assert_flat(swallow(box.encrypt, bad_utf8), box, bad_utf8)
    assert_flat(swallow(box.encrypt, b"x", big), box, big)
    assert_flat(swallow(box.encrypt, b"x", None, ""), box)
    assert_flat(swallow(box.encrypt, b"x", nope=1), box)


def test_decrypt_success(setup):
    _, box = setup
    token = box.encrypt(b"payload", purpose="p")
    session_token = box.encrypt(b"payload")
    purpose = "p"
    assert_flat(lambda: box.decrypt_for(token, purpose), box, token, purpose)
    assert_flat(lambda: box.decrypt(session_token), box, session_token)


def test_decrypt_failures(setup):
    _, box = setup
    token = box.encrypt(b"payload", purpose="p")
    wrong, garbage, raw = "q", "not.a.token", b"bytes"
    assert_flat(swallow(box.decrypt_for, token, wrong), box, token, wrong)
    assert_flat(swallow(box.decrypt, garbage), box, garbage)
    assert_flat(swallow(box.decrypt, raw), box, raw)
    assert_flat(swallow(box.decrypt_for, token), box, token)


def test_construction(setup, monkeypatch):
    backend, _ = setup
    monkeypatch.setenv("NORVANES_LEAK_KEY", str(KEY))
    key, name = 2**127 + 5, "NORVANES_LEAK_KEY"
    # Each instance holds a reference to its type, dropped when it dies.
    assert_flat(lambda: Norvane(backend, key=key), Norvane, backend, key)
    assert_flat(lambda: Norvane(backend, key_env=name), Norvane, backend, name)
    assert_flat(swallow(Norvane, backend, key=2**128), Norvane, backend)
    assert_flat(swallow(Norvane, backend), Norvane, backend)
    assert_flat(swallow(Norvane, None, key=1), Norvane)


def test_backend_slots(setup):
    backend, _ = setup
    assert_flat(lambda: (repr(backend), int(backend), backend == 0, backend != backend, backend == "x"),
                backend, Backend)
    assert_flat(swallow(lambda: backend < 1), backend)
