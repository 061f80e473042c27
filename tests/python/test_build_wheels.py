"""scripts/build-wheels refuses a platform or CPython outside its matrix,
and a subset of the matrix that names no wheel, in one line and before it
builds or removes anything."""

import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "build-wheels"

pytestmark = pytest.mark.skipif(not SCRIPT.exists(), reason="needs the source tree")


@pytest.mark.parametrize("args, phrase", [
    (["--platform", "manylinux_riscv64"], "no platform 'manylinux_riscv64'"),
    (["--platform", "musllinux_x86_64,win_amd64"], "no platform 'win_amd64'"),
    (["--python", "3.10"], "no CPython '3.10' in the matrix"),
    (["--platform", "manylinux_aarch64", "--python", "3.12"], "the matrix has no wheel for 3.12 on manylinux_aarch64"),
    (["--platform", "musllinux_armv7l", "--python", "3.13t,3.14"], "the matrix has no wheel for 3.13t 3.14"),
    (["--python"], "--python needs a value"),
    (["--armhf"], "cross-builds the armv7l wheels"),
    (["sdist"], "unknown argument 'sdist'"),
])
def test_a_wheel_outside_the_matrix_is_refused_at_once(args, phrase):
    dist = ROOT / "dist"
    before = sorted((p.name, p.stat().st_mtime_ns) for p in dist.iterdir()) if dist.is_dir() else None
    done = subprocess.run([SCRIPT, *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stdout == ""
    [line] = done.stderr.splitlines()
    assert line.startswith("build-wheels: ") and phrase in line, line
    after = sorted((p.name, p.stat().st_mtime_ns) for p in dist.iterdir()) if dist.is_dir() else None
    assert after == before


def test_the_help_lists_the_matrix():
    done = subprocess.run([SCRIPT, "--help"], capture_output=True, text=True, timeout=60, check=True)
    for tag in ("manylinux_2_17_x86_64", "manylinux_2_17_aarch64", "manylinux_2_17_armv7l",
                "musllinux_1_2_x86_64", "musllinux_1_2_aarch64", "musllinux_1_2_armv7l"):
        assert tag in done.stdout
