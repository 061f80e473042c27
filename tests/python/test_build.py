"""The build stops in one line that says what is missing and how to get it,
and its configure log says which BearSSL it links.

Each case configures a copy of the top-level CMake files and the core's
folder (the checks run before any target; the module, the tool and the tests
are left out), so no compiler runs beyond CMake's own probes.
Runs with the CMake build's tests (NORVANE_BUILD_DIR, as scripts/test sets).
"""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = ROOT / "third_party" / "sources.txt"

pytestmark = [
    pytest.mark.skipif(not os.environ.get("NORVANE_BUILD_DIR"), reason="NORVANE_BUILD_DIR is not set"),
    pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the source tree"),
]


def bearssl_entry():
    for line in SOURCES.read_text().splitlines():
        fields = line.split()
        if fields and fields[0] == "bearssl":
            return fields[3], fields[4]
    raise AssertionError("third_party/sources.txt has no bearssl entry")


@pytest.fixture
def cmake():
    path = shutil.which("cmake")
    if path is None:
        pytest.skip("cmake is not on PATH")
    return path


@pytest.fixture
def configure(cmake, tmp_path):
    """configure(*defines, tarball=None, env=None): configures a copy of the
    top-level CMake files; tarball is the bundled BearSSL file's content (None:
    no file). Returns (exit status, stdout, stderr)."""

    def run(*defines, tarball=None, env=None):
        source = tmp_path / "src"
        shutil.copytree(ROOT / "cmake", source / "cmake")
        shutil.copytree(ROOT / "norvane", source / "norvane")
        shutil.copy(ROOT / "CMakeLists.txt", source)
        (source / "third_party").mkdir()
        shutil.copy(SOURCES, source / "third_party")
        if tarball is not None:
            (source / "third_party" / bearssl_entry()[0]).write_bytes(tarball)
        parts = ["-DNORVANE_BUILD_PYTHON=OFF", "-DNORVANE_BUILD_CLI=OFF", "-DNORVANE_BUILD_TESTS=OFF"]
        done = subprocess.run([cmake, "-S", source, "-B", tmp_path / "build", *parts, *defines],
                              capture_output=True, text=True, env={**os.environ, **(env or {})}, timeout=300)
        return done.returncode, done.stdout, done.stderr

    return run


def the_message(stderr, phrase):
    """The one error message of a failed configure: a single line holding phrase."""
    assert stderr.count("CMake Error") == 1, stderr
    lines = [line.strip() for line in stderr.splitlines() if phrase in line]
    assert len(lines) == 1, stderr
    return lines[0]


NO_SYSTEM_BEARSSL = "-DCMAKE_DISABLE_FIND_PACKAGE_BearSSL=ON"


def test_no_bearssl_anywhere_names_both_ways_out(configure):
    status, _, stderr = configure(NO_SYSTEM_BEARSSL)
    assert status != 0
    message = the_message(stderr, "BearSSL was not found")
    assert "apt-get install libbearssl-dev" in message and "sdist" in message


@pytest.mark.parametrize("content", [b"", b"\xfd7zXZ\x00 not the BearSSL source"], ids=["empty", "other bytes"])
def test_a_damaged_tarball_is_refused(configure, content):
    status, _, stderr = configure("-DNORVANE_BEARSSL=BUNDLED", tarball=content)
    assert status != 0
    message = the_message(stderr, "is damaged or not the pinned BearSSL source")
    assert bearssl_entry()[1] in message and "scripts/fetch-sources" in message


@pytest.mark.parametrize("defines, phrase", [
    (["-DNORVANE_BEARSSL=SYSTEM", NO_SYSTEM_BEARSSL], "apt-get install libbearssl-dev"),
    (["-DNORVANE_BEARSSL=yes"], "use AUTO, SYSTEM or BUNDLED"),
])
def test_a_choice_that_cannot_be_met_is_refused(configure, defines, phrase):
    status, _, stderr = configure(*defines)
    assert status != 0
    the_message(stderr, phrase)


def test_a_missing_compiler_is_named(configure, tmp_path):
    status, _, stderr = configure(env={"CXX": str(tmp_path / "no-such-c++")})
    assert status != 0
    assert "no-such-c++" in the_message(stderr, "norvane needs a C++20 compiler")


def test_the_log_names_the_system_bearssl(configure):
    status, stdout, stderr = configure()
    if status != 0 and "BearSSL was not found" in stderr:
        pytest.skip("this system has no BearSSL")
    assert status == 0, stderr
    assert "-- BearSSL: the system's" in stdout


def test_the_log_names_the_bundled_bearssl(configure):
    tarball = ROOT / "third_party" / bearssl_entry()[0]
    if not tarball.exists():
        pytest.skip("the bundled BearSSL is not fetched (scripts/fetch-sources)")
    status, stdout, stderr = configure("-DNORVANE_BEARSSL=BUNDLED", tarball=tarball.read_bytes())
    assert status == 0, stderr
    assert f"-- BearSSL: bundled 0.6+dfsg.1, built from third_party/{tarball.name} (SHA-256 checked)" in stdout
