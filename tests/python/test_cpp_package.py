"""The C++ package: `cmake --install` of a build, then programs that find it
with find_package(norvane) and link norvane::core, examples/cpp among them.

NORVANE_BUILD_DIR names the CMake build to install (scripts/test sets it);
without it these tests are skipped.
"""

import os
import pathlib
import shutil
import subprocess

import pytest

from norvanes import Backend, Norvane

from conftest import KEY

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = os.environ.get("NORVANE_BUILD_DIR")
STRICT_FLAGS = "-Wall -Wextra -Wpedantic -Werror"

pytestmark = pytest.mark.skipif(not BUILD_DIR, reason="NORVANE_BUILD_DIR is not set")


def run(args, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def cmake():
    path = shutil.which("cmake")
    if path is None:
        pytest.skip("cmake is not on PATH")
    return path


@pytest.fixture(scope="module")
def prefix(cmake, tmp_path_factory):
    target = tmp_path_factory.mktemp("prefix")
    run([cmake, "--install", BUILD_DIR, "--prefix", target])
    return target


def configure_and_build(cmake, source, build, prefix, *defines):
    run([cmake, "-S", source, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_CXX_FLAGS={STRICT_FLAGS}",
         *defines])
    run([cmake, "--build", build, "-j2"])


def test_install_lays_out_library_headers_package_and_tool(prefix):
    headers = sorted(p.name for p in (ROOT / "norvane/include/norvane").glob("*.h"))
    assert sorted(p.name for p in (prefix / "include/norvane").iterdir()) == headers
    assert (prefix / "lib/libnorvane_core.a").is_file()
    package = prefix / "lib/cmake/norvane"
    for name in ("norvaneConfig.cmake", "norvaneConfigVersion.cmake", "norvaneTargets.cmake", "FindBearSSL.cmake",
                 "FindSodium.cmake"):
        assert (package / name).is_file(), name
    assert "norvane::core" in (package / "norvaneTargets.cmake").read_text()
    tool = run([prefix / "bin/norvane", "--version"])
    assert tool.stdout == "norvane 3.0.0\n"


@pytest.fixture(scope="module")
def example(cmake, prefix, tmp_path_factory):
    """examples/cpp built against the installed package, warnings as errors."""
    build = tmp_path_factory.mktemp("example")
    configure_and_build(cmake, ROOT / "examples/cpp", build, prefix)
    return build / "mint_and_open"


def test_cpp_example_builds_and_runs_against_the_installed_package(example):
    result = run([example], env={**os.environ, "NORVANE_EXAMPLE_KEY": str(KEY)})
    lines = result.stdout.splitlines()
    assert lines[1:] == [
        "opened: user=42",
        "as a session token: token was not minted for the expected purpose",
        "an hour later: token has expired",
    ]
    # The token the C++ program minted opens in Python under the same key.
    token = lines[0].removeprefix("token: ")
    assert Norvane(Backend.XCHACHA20_POLY1305, key=KEY).decrypt_for(token, "password-reset") == b"user=42"


def test_cpp_example_reports_a_missing_key(example):
    env = {k: v for k, v in os.environ.items() if k != "NORVANE_EXAMPLE_KEY"}
    result = subprocess.run([example], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 1
    assert result.stderr == "NORVANE_EXAMPLE_KEY: the value of key_env is invalid\n"


CONSUMER = """
cmake_minimum_required(VERSION 3.20)
project(consumer LANGUAGES CXX)
find_package(norvane {version} REQUIRED)
add_executable(consumer main.cc)
target_link_libraries(consumer PRIVATE norvane::core)
"""

CONSUMER_MAIN = "int main() { return 0; }\n"


@pytest.mark.parametrize("version, found", [("3", True), ("3.0.0", True), ("2", False), ("4", False)])
def test_find_package_honours_the_major_version(cmake, prefix, tmp_path, version, found):
    source = tmp_path / "src"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(CONSUMER.format(version=version))
    (source / "main.cc").write_text(CONSUMER_MAIN)
    configure = subprocess.run([cmake, "-S", source, "-B", tmp_path / "build", f"-DCMAKE_PREFIX_PATH={prefix}"],
                               capture_output=True, text=True, timeout=600)
    assert (configure.returncode == 0) is found, configure.stderr
    if not found:
        # CMake 3.x and 4.x word this differently and wrap it at different places.
        message = " ".join(configure.stderr.split())
        assert "version: 3.0.0" in message and f'compatible with requested version "{version}"' in message


@pytest.mark.parametrize("package, debian, bundled", [
    ("BearSSL", "libbearssl-dev", "libnorvane_bearssl.a"),
    ("Sodium", "libsodium-dev", "libnorvane_sodium.a"),
])
def test_package_needs_no_system_library_it_carries_and_names_one_it_lacks(cmake, prefix, tmp_path, package,
                                                                            debian, bundled):
    # The core needs BearSSL and libsodium at link time. A core built with a
    # bundled one installed it beside itself, and its users build without the
    # system's; otherwise the package finds the system's, and where it cannot
    # it says so instead of failing at link time.
    source = tmp_path / "src"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(CONSUMER.format(version=""))
    (source / "main.cc").write_text(CONSUMER_MAIN)
    configure = subprocess.run(
        [cmake, "-S", source, "-B", tmp_path / "build", f"-DCMAKE_PREFIX_PATH={prefix}",
         f"-DCMAKE_DISABLE_FIND_PACKAGE_{package}=ON"],
        capture_output=True, text=True, timeout=600)
    if (prefix / "lib" / bundled).is_file():
        assert configure.returncode == 0, configure.stderr
        run([cmake, "--build", tmp_path / "build"])
    else:
        assert configure.returncode != 0
        assert debian in configure.stderr
