"""Randomness that fails, or that a sandbox takes away.

Importing the module, building Norvane objects and opening tokens use no
randomness at all; minting chooses its method at its first call and, where
there is no randomness, refuses with ValueError while the process goes on.
The children here run under a seccomp filter that makes the getrandom
system call fail, installed before the import or only after the objects
were built (as a program sandboxes itself once it has set up), with
/dev/random and /dev/urandom reachable or hidden, and with the kernel's vDSO
getrandom used or left alone (NORVANE_FORCE_SOFTWARE=1 keeps the core to
the system call).
"""

import errno
import subprocess
import sys
import textwrap

import pytest

from conftest import BACKEND_NAMES, KEY, module_env
from norvanes import Backend, Norvane

UNAVAILABLE = "operating system randomness is unavailable"

# What the child does: build both objects and open a token minted here (no
# randomness needed for either), sandbox itself if asked to now, then mint
# with each backend and print what happened.
CHILD = """
    import ctypes, os, sys
    from norvanes import Norvane, Backend
    boxes = [Norvane(getattr(Backend, name), key={key}) for name in {names!r}]
    tokens = os.environ["NORVANE_TEST_TOKENS"].split(",")
    for box, token in zip(boxes, tokens):
        assert box.decrypt(token) == b"made before", token
    if os.environ.get("NORVANE_TEST_SANDBOX_LATER"):
        err, dev = os.environ["NORVANE_TEST_SANDBOX_LATER"].split(":")
        step = ctypes.CDLL(os.environ["NORVANE_TEST_SANDBOX_LIBRARY"]).norvane_test_sandbox(int(err), dev == "nodev")
        assert step == 0, "sandbox step %d" % step
    for box in boxes:
        try:
            token = box.encrypt(b"minted in the sandbox")
        except ValueError as e:
            print("refused:", e)
        else:
            assert box.decrypt(token) == b"minted in the sandbox"
            print("minted")
    print("still running")
"""


def run_child(sandbox, when, err, dev, vdso):
    launcher, library, hides_dev = sandbox
    if dev == "nodev" and not hides_dev:
        pytest.skip("/dev cannot be hidden here (that needs root and a mount namespace of the test's own)")
    code = textwrap.dedent(CHILD.format(key=KEY, names=BACKEND_NAMES))
    tokens = ",".join(Norvane(getattr(Backend, name), key=KEY).encrypt(b"made before") for name in BACKEND_NAMES)
    # A fixed hash seed: the interpreter itself needs no randomness to start.
    env = module_env({"NORVANE_TEST_TOKENS": tokens, "NORVANE_TEST_SANDBOX_LIBRARY": library,
                       "PYTHONHASHSEED": "0"})
    if vdso == "no-vdso":
        env["NORVANE_FORCE_SOFTWARE"] = "1"
    if when == "before-import":
        argv = [launcher, str(err), dev, sys.executable, "-c", code]
    else:
        env["NORVANE_TEST_SANDBOX_LATER"] = f"{err}:{dev}"
        argv = [sys.executable, "-c", code]
    return subprocess.run(argv, capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize("vdso", ["vdso", "no-vdso"])
@pytest.mark.parametrize("dev", ["dev", "nodev"])
@pytest.mark.parametrize("err", [errno.EIO, errno.ENOSYS, errno.EPERM], ids=["EIO", "ENOSYS", "EPERM"])
@pytest.mark.parametrize("when", ["before-import", "after-set-up"])
def test_minting_without_randomness_refuses_and_the_process_goes_on(sandbox_launcher, when, err, dev, vdso):
    result = run_child(sandbox_launcher, when, err, dev, vdso)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    assert lines[-1] == "still running"
    # ENOSYS and EPERM mean "no getrandom here": the device serves, where it
    # can be reached. Any other error is a failure of getrandom itself.
    if err != errno.EIO and dev == "dev":
        assert lines[:-1] == ["minted"] * len(BACKEND_NAMES), result.stdout
    else:
        assert lines[:-1] == ["refused: " + UNAVAILABLE] * len(BACKEND_NAMES), result.stdout

