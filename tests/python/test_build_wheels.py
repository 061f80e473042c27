"""scripts/build-wheels refuses a platform or CPython outside its matrix,
and a subset of the matrix that names no wheel, in one line and before it
builds or removes anything."""

import os
import pathlib
import shutil
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


NEON_CHECK = ROOT / "scripts" / "neon-instructions.awk"


# Lines as `objdump -d --no-show-raw-insn` prints 32-bit ARM code, and
# whether an ARMv7-A CPU with VFPv3-D16 and no NEON lacks the instruction.
@pytest.mark.parametrize("instruction, lacking", [
    ("vldr\td0, [r0, #8]", False),
    ("vmov\ts0, r0", False),
    ("vmov\td0, r0, r1", False),
    ("vmov.32\tr0, d0[1]", False),
    ("vcvt.f64.f32\td0, s0", False),
    ("vcvt.s32.f64\ts0, d0", False),
    ("vcvt.f64.s32\td0, d0, #16", False),
    ("vadd.f64\td0, d1, d2", False),
    ("vmul.f32\ts0, s1, s2", False),
    ("vmoveq.f64\td0, d1", False),
    ("vmls.f64\td0, d1, d2", False),
    ("vmrs\tAPSR_nzcv, fpscr", False),
    ("vpush\t{d8-d15}", False),
    ("vstmia\tr0, {d16-d31}", False),  # the unwinder's save of d16-d31
    ("vld1.8\t{d0-d1}, [r0]", True),
    ("vadd.i32\tq0, q1, q2", True),
    ("vadd.f32\td0, d1, d2", True),
    ("vcvt.f32.s32\td0, d0", True),
    ("vmov.i32\td0, #0\t@ 0x00000000", True),
    ("veor\td0, d1, d2", True),
    ("vldr\td16, [r0]", True),
    ("vpush\t{d8-d17}", True),
    ("vldmia\tr0!, {d16-d31}", True),
    ("vfma.f64\td0, d1, d2", True),
    ("vcvtb.f32.f16\ts0, s0", True),
])
def test_the_armv7_check_names_what_the_baseline_cpu_lacks(instruction, lacking):
    listing = f"   10474:\tadd\tr0, r0, r1\n   10478:\t{instruction}\n   1047c:\t.word\t0xf2000d42\n"
    done = subprocess.run(["awk", "-f", NEON_CHECK], input=listing, capture_output=True, text=True, check=True)
    assert done.stdout.startswith("10478 ") if lacking else done.stdout == "", done.stdout
    assert len(done.stdout.splitlines()) == int(lacking)


QEMU_ROOT = ROOT / "scripts" / "qemu-root.sh"
# Mounts below a root being remade go first; a sibling whose name merely
# starts with the root's stays. The whole run lives in a private mount
# namespace, so nothing outlives the test.
UNMOUNT_UNDER = r'''
. "$1"
d=$2
mkdir -p "$d/r/proc" "$d/r/dev/pts" "$d/r-sibling"
mount -t tmpfs t "$d/r/proc"
mount -t tmpfs t "$d/r/dev"; mkdir -p "$d/r/dev/pts"; mount -t tmpfs t "$d/r/dev/pts"
mount -t tmpfs t "$d/r-sibling"
unmount_under "$d/r"
findmnt -rn -o TARGET | awk -v p="$d/" 'index($0, p) == 1' | sort
'''


def test_remaking_a_root_with_nothing_mounted_below_it_goes_on(tmp_path):
    # The usual case on a fresh machine: no line to find must not end a
    # script running under pipefail.
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", '. "$1"; unmount_under "$2"; echo went-on',
                           "t", QEMU_ROOT, tmp_path], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "went-on\n", "")


PRIVATE_MOUNTS = ["unshare", "--mount", "--propagation", "private", "--"]


def private_mounts_work():
    # Root, and a root file system that is a mount point: inside a chroot
    # (the emulated and sid roots run this suite) unshare cannot make it
    # private.
    return (os.geteuid() == 0 and shutil.which("unshare") is not None
            and subprocess.run([*PRIVATE_MOUNTS, "true"], capture_output=True).returncode == 0)


@pytest.mark.skipif(not private_mounts_work(), reason="needs root and a private mount namespace")
def test_remaking_a_root_unmounts_what_an_interrupted_making_left(tmp_path):
    done = subprocess.run([*PRIVATE_MOUNTS,
                           "bash", "-euo", "pipefail", "-c", UNMOUNT_UNDER, "t", QEMU_ROOT, tmp_path],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [f"{tmp_path}/r-sibling"]
