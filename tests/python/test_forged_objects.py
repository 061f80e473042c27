"""Objects the module did not build.

Both types are mutable, so Python code can give them a __new__ of its own
and get instances whose contents were never set up. Such an object must be
refused with a TypeError by every method and slot, never reach the core and
never crash the interpreter; each case runs in a child interpreter so that a
crash shows as a failed test, not a lost run.
"""

import pytest

from conftest import run_python

FORGE_NORVANE = """
from norvanes import Backend, Norvane
Norvane.__new__ = lambda cls, *a, **k: object.__new__(cls)
n = Norvane()
"""

FORGE_BACKEND = """
from norvanes import Backend, Norvane
Backend.__new__ = lambda cls, *a, **k: object.__new__(cls)
b = Backend()
"""

NORVANE_USES = [
    "n.encrypt(b'hello')",
    "n.encrypt(data=b'hello', expires_at=5, purpose='x')",
    "n.decrypt('AAAAAAAAAAAAAAAA.AQAAAAAAAAAAB3Nlc3Npb24=.AAAAAAAAAAAAAAAAAAAAAA==')",
    "n.decrypt_for('a.b.c', 'session')",
]

BACKEND_USES = [
    "repr(b)",
    "int(b)",
    "b == 0",
    "b == Backend.AES256_GCM",
    "Backend.AES256_GCM == b",
    "Norvane(b, key=1)",
]


def run_forged(prelude, use):
    return run_python(prelude + f"""
try:
    {use}
except TypeError as e:
    print("TypeError:", e)
else:
    print("accepted")
""")


@pytest.mark.parametrize("use", NORVANE_USES)
def test_an_unbuilt_norvane_is_refused(use):
    result = run_forged(FORGE_NORVANE, use)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("TypeError: this Norvane object was not initialised"), result.stdout


@pytest.mark.parametrize("use", BACKEND_USES)
def test_a_forged_backend_is_refused(use):
    result = run_forged(FORGE_BACKEND, use)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("TypeError: this Backend object is not one of its members"), result.stdout


def test_forged_objects_are_freed_quietly_and_genuine_ones_keep_working():
    result = run_python("""
from norvanes import Backend, Norvane
good = Norvane(Backend.XCHACHA20_POLY1305, key=7)
""" + FORGE_NORVANE.split("\n", 2)[2] + FORGE_BACKEND.split("\n", 2)[2] + """
import gc
del n, b
gc.collect()
assert good.decrypt(good.encrypt(b"still fine")) == b"still fine"
assert repr(Backend.AES256_GCM) == "Backend.AES256_GCM" and int(Backend.XCHACHA20_POLY1305) == 1
print("ok")
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
    assert result.stderr == ""
