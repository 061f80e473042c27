"""The module on a free-threaded interpreter, where no lock serialises calls.

Threads mint and open on shared objects truly at the same time, and race
the module's one-time set-up in fresh interpreters: the import with its
types and Backend members, the choice of primitives and of libsodium's
code, the randomness method (getrandom or the device fallback) and the
fault exception type. Skipped on interpreters with a GIL; they are meant to
run with the GIL off, as a free-threaded build starts (PYTHON_GIL=1 or
-X gil=1 would turn it on and skip the in-process tests).
"""

import json
import os
import sys
import sysconfig
import threading

import pytest

from norvanes import Backend, Norvane

from conftest import KEY, run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_FORCED_ON = os.environ.get("PYTHON_GIL") == "1" or sys._xoptions.get("gil") == "1"

pytestmark = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
without_forced_gil = pytest.mark.skipif(GIL_FORCED_ON, reason="the GIL was turned on by PYTHON_GIL or -X gil")

THREADS = 16
ROUNDS = 200
CLOCK_FAULT = "the real-time clock could not be read"


@pytest.fixture
def unforced_gil(monkeypatch):
    """A child's environment that leaves the GIL to the interpreter and its
    modules: PYTHON_GIL=0 would keep it off whatever a module declares."""
    monkeypatch.delenv("PYTHON_GIL", raising=False)


def run_together(worker, count=THREADS):
    """Runs worker(index) on `count` threads released at once; returns the
    failures as (index, repr) pairs."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            worker(index)
        except BaseException as error:  # faults included
            failures.append((index, repr(error)))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    return failures


IMPORT_PROBE = """
import json, sys, warnings
# An import that turns the GIL back on says so with a RuntimeWarning.
warnings.simplefilter("error")
before = sys._is_gil_enabled()
import norvanes
box = norvanes.Norvane(norvanes.Backend.XCHACHA20_POLY1305, key=5)
assert box.decrypt(box.encrypt(b"x")) == b"x"
print(json.dumps([before, sys._is_gil_enabled()]))
"""


def test_importing_and_using_the_module_keeps_the_gil_off(unforced_gil):
    child = run_python(IMPORT_PROBE)
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == [False, False]


@without_forced_gil
def test_many_threads_share_objects_of_both_backends():
    shared = [Norvane(Backend.AES256_GCM, key=KEY), Norvane(Backend.XCHACHA20_POLY1305, key=KEY)]
    minted = [[] for _ in range(THREADS)]

    def worker(index):
        for round_ in range(ROUNDS):
            kind = (index + round_) % 2
            box, other = shared[kind], shared[1 - kind]
            data = f"thread {index} round {round_} \u00e9".encode()
            purpose = f"p{round_ % 3}"
            token = box.encrypt(data, expires_at=2**63 + round_, purpose=purpose)
            assert box.decrypt_for(token, purpose) == data
            for refuse, message in ((lambda: box.decrypt(token), "token was not minted for the expected purpose"),
                                    (lambda: other.decrypt_for(token, purpose), "invalid token")):
                with pytest.raises(ValueError) as refused:
                    refuse()
                assert str(refused.value) == message
            if round_ % 20 == 0:
                # Objects made while the shared ones are in use open the
                # shared ones' tokens, and the reverse.
                own = Norvane((Backend.AES256_GCM, Backend.XCHACHA20_POLY1305)[kind], key=KEY)
                assert own.decrypt_for(token, purpose) == data
                assert box.decrypt(own.encrypt(data)) == data
            minted[index].append((kind, token, purpose, data))

    assert run_together(worker) == []
    assert not sys._is_gil_enabled()
    tokens = [token for per_thread in minted for _, token, _, _ in per_thread]
    assert len(set(tokens)) == THREADS * ROUNDS
    for per_thread in minted:
        for kind, token, purpose, data in per_thread:
            assert shared[kind].decrypt_for(token, purpose) == data


@without_forced_gil
def test_backend_members_are_read_from_many_threads():
    members = [Backend.AES256_GCM, Backend.XCHACHA20_POLY1305]

    def worker(index):
        for round_ in range(ROUNDS):
            code = (index + round_) % 2
            member = members[code]
            assert int(member) == code and member == code and member != 1 - code
            assert repr(member) == ("Backend.AES256_GCM", "Backend.XCHACHA20_POLY1305")[code]
            assert (member == members[1 - code]) is False
            with pytest.raises(TypeError):
                Norvane(code, key=KEY)

    assert run_together(worker) == []


# Every thread makes its first use of the module at the same moment: the
# import, a Backend member, a construction (primitives, libsodium), a mint
# (randomness method) and, with the clock failing, an open whose fault makes
# the fault exception type. Afterwards the main thread opens every token.
FIRST_USE_PROBE = """
import json, os, sys, threading
THREADS = {threads}
barrier = threading.Barrier(THREADS)
results = [None] * THREADS

def body(index):
    try:
        barrier.wait()
        import norvanes
        member = (norvanes.Backend.AES256_GCM, norvanes.Backend.XCHACHA20_POLY1305)[index % 2]
        box = norvanes.Norvane(member, key={key})
        token = box.encrypt(b"thread %d" % index)
        try:
            box.decrypt(token)
            fault = None
        except BaseException as error:
            fault = [type(error).__module__, type(error).__qualname__, id(type(error)), str(error)]
        objects = [id(norvanes.Backend), id(norvanes.Norvane), id(member)]
        results[index] = {{"token": token, "fault": fault, "objects": objects}}
    except BaseException as error:
        results[index] = {{"error": repr(error)}}

os.environ["NORVANE_TEST_CLOCK"] = "fail"
threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
del os.environ["NORVANE_TEST_CLOCK"]

import norvanes
boxes = [norvanes.Norvane(norvanes.Backend.AES256_GCM, key={key}),
         norvanes.Norvane(norvanes.Backend.XCHACHA20_POLY1305, key={key})]
opened = []
for index, result in enumerate(results):
    if "token" in result:
        opened.append(boxes[index % 2].decrypt(result["token"]).decode())
print(json.dumps({{"results": results, "opened": opened, "gil": sys._is_gil_enabled()}}))
"""


def check_first_uses(child):
    assert child.returncode == 0, child.stderr
    outcome = json.loads(child.stdout)
    results = outcome["results"]
    assert [r for r in results if "error" in r] == []
    assert outcome["gil"] is False
    # One Backend type, one Norvane type, one object per member, one fault
    # type, whichever thread made them.
    assert len({tuple(r["objects"][:2]) for r in results}) == 1
    assert len({r["objects"][2] for r in results[0::2]}) == 1
    assert len({r["objects"][2] for r in results[1::2]}) == 1
    faults = {tuple(r["fault"]) for r in results}
    assert len(faults) == 1
    module, name, _, message = faults.pop()
    assert (module, name, message) == ("pyo3_runtime", "PanicException", CLOCK_FAULT)
    tokens = [r["token"] for r in results]
    assert len(set(tokens)) == len(tokens)
    assert outcome["opened"] == [f"thread {i}" for i in range(len(results))]


@pytest.mark.parametrize("attempt", range(8))
def test_first_uses_race_in_a_fresh_interpreter(clock_shim, unforced_gil, attempt):
    child = run_python(FIRST_USE_PROBE.format(threads=THREADS, key=KEY), env={"LD_PRELOAD": clock_shim})
    check_first_uses(child)


@pytest.mark.parametrize("attempt", range(4))
def test_first_uses_race_on_the_device_fallback(no_getrandom, clock_shim, unforced_gil, attempt):
    # Without getrandom the first mints also race to open the device.
    child = no_getrandom(FIRST_USE_PROBE.format(threads=THREADS, key=KEY), env={"LD_PRELOAD": clock_shim})
    check_first_uses(child)
