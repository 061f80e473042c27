"""The example script runs end to end and shows its refusals."""

import pathlib

import pytest

from conftest import run_python

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.mark.parametrize("key", [None, "340282366920938463463374607431768211455"])
def test_demo_runs(key):
    if not DEMO.exists():
        pytest.skip("the examples are only in a source checkout")
    setup = f"os.environ['NORVANE_DEMO_KEY'] = {key!r}" if key else "os.environ.pop('NORVANE_DEMO_KEY', None)"
    child = run_python(f"import os, runpy\n{setup}\nrunpy.run_path({str(DEMO)!r}, run_name='__main__')")
    assert child.returncode == 0, child.stderr
    out = child.stdout
    assert ("fresh random demo key" in out) is (key is None)
    assert out.count("opened: b'hello, world'") == 2
    for refusal in ("the data has been modified", "token was not minted for the expected purpose",
                    "token has expired", "invalid token"):
        assert refusal in out
