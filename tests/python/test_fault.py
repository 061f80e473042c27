"""Internal faults reach Python as pyo3_runtime.PanicException.

The module has no test hooks, so faults are provoked from outside, each in
a child interpreter: _testcapi's allocation-failure injection makes a
result object impossible to allocate, and a preloaded clock makes the
real-time clock fail.
"""

import json

import pytest

from conftest import run_python

PANIC_DOC = (
    "\n"
    "The exception raised when extension code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

# Fail one allocation at a time, at each position from the start of the
# call, and record how each call ends. Somewhere in the window the result
# object is the allocation that fails.
NOMEMORY_PROBE = """
import json
try:
    import _testcapi
except ImportError:
    print(json.dumps("unavailable"))
    raise SystemExit(0)
import norvanes
box = norvanes.Norvane(norvanes.Backend.XCHACHA20_POLY1305, key=3)
token = box.encrypt(b"data")
member = norvanes.Backend.AES256_GCM
calls = {{
    "encrypt": lambda: box.encrypt(b"data"),
    "decrypt": lambda: box.decrypt(token),
    "decrypt_for": lambda: box.decrypt_for(token, "session"),
    "repr": lambda: repr(member),
}}
call = calls[{name!r}]
outcomes = []
panic = None
for start in range(40):
    _testcapi.set_nomemory(start, start + 1)
    try:
        call()
        outcome = "ok"
    except BaseException as error:
        outcome = [type(error).__module__, type(error).__qualname__, list(error.args)]
        if type(error).__name__ == "PanicException":
            panic = type(error)
            caught_as_exception = isinstance(error, Exception)
    finally:
        _testcapi.remove_mem_hooks()
    outcomes.append(outcome)
info = None
if panic is not None:
    info = {{
        "bases": [c.__qualname__ for c in panic.__mro__],
        "doc": panic.__doc__,
        "is_exception": caught_as_exception,
        "bound": hasattr(norvanes, "PanicException"),
    }}
# The interpreter and the object are still usable afterwards.
assert box.decrypt(box.encrypt(b"after")) == b"after"
print(json.dumps({{"outcomes": outcomes, "panic": info}}))
"""


@pytest.mark.parametrize("name", ["encrypt", "decrypt", "decrypt_for", "repr"])
def test_unallocatable_result_raises_panic(name):
    child = run_python(NOMEMORY_PROBE.format(name=name))
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)
    if result == "unavailable":
        pytest.skip("this interpreter has no _testcapi")
    panic_outcome = ["pyo3_runtime", "PanicException", ["PyObject pointer is null"]]
    for outcome in result["outcomes"]:
        assert outcome in ("ok", panic_outcome) or outcome[1] == "MemoryError", outcome
    assert panic_outcome in result["outcomes"]
    assert result["panic"] == {
        "bases": ["PanicException", "BaseException", "object"],
        "doc": PANIC_DOC,
        "is_exception": False,
        "bound": False,
    }
    # The allocation error is reported as unraisable, then the fault itself.
    assert "MemoryError" in child.stderr
    where = {"repr": "Backend.__repr__"}.get(name, "Norvane." + name)
    assert f"norvanes: internal fault in thread '" in child.stderr
    assert f"at {where}: PyObject pointer is null" in child.stderr


CLOCK_FAULT_PROBE = """
import json, os
import norvanes
box = norvanes.Norvane(norvanes.Backend.AES256_GCM, key=9)
token = box.encrypt(b"secret")
os.environ["NORVANE_TEST_CLOCK"] = {mode!r}
try:
    box.decrypt(token)
    outcome = "opened"
except Exception as error:
    outcome = ["Exception", type(error).__name__]
except BaseException as error:
    outcome = [type(error).__module__, type(error).__name__, list(error.args)]
del os.environ["NORVANE_TEST_CLOCK"]
after = box.decrypt(token).decode()
print(json.dumps([outcome, after]))
"""


@pytest.mark.parametrize("mode", ["fail", "bad-nsec"])
def test_unreadable_clock_raises_panic(run_with_clock, mode):
    child = run_with_clock(CLOCK_FAULT_PROBE.format(mode=mode))
    assert child.returncode == 0, child.stderr
    (module, name, args), after = json.loads(child.stdout)
    assert (module, name) == ("pyo3_runtime", "PanicException")
    assert len(args) == 1 and "clock" in args[0]
    assert after == "secret"
    assert "at Norvane.decrypt: " in child.stderr
