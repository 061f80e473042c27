"""The build stops in one line that says what is missing and how to get it,
and its configure log says which BearSSL and which libsodium it links.

Each case configures a copy of the top-level CMake files and the core's
folder (the checks run before any target; the module, the tool and the tests
are left out), so no compiler runs beyond CMake's own probes, except where a
case builds the bundled libsodium itself.
Runs with the CMake build's tests (NORVANE_BUILD_DIR, as scripts/test sets).
"""

import os
import pathlib
import platform
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = ROOT / "third_party" / "sources.txt"

pytestmark = [
    pytest.mark.skipif(not os.environ.get("NORVANE_BUILD_DIR"), reason="NORVANE_BUILD_DIR is not set"),
    pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the source tree"),
]

# entry in third_party/sources.txt: (name in messages, CMake choice, find_package name, Debian package)
LIBRARIES = {
    "bearssl": ("BearSSL", "NORVANE_BEARSSL", "BearSSL", "libbearssl-dev"),
    "libsodium": ("libsodium", "NORVANE_SODIUM", "Sodium", "libsodium-dev"),
}


def entry(name):
    """(version, file, sha256) of one entry of third_party/sources.txt."""
    for line in SOURCES.read_text().splitlines():
        fields = line.split()
        if fields and fields[0] == name:
            return fields[2], fields[3], fields[4]
    raise AssertionError(f"third_party/sources.txt has no {name} entry")


def fetched(name):
    """The pinned tarball's content, or a skip where it is not fetched."""
    tarball = ROOT / "third_party" / entry(name)[1]
    if not tarball.exists():
        pytest.skip(f"the bundled {name} is not fetched (scripts/fetch-sources)")
    return tarball.read_bytes()


@pytest.fixture
def cmake():
    path = shutil.which("cmake")
    if path is None:
        pytest.skip("cmake is not on PATH")
    return path


@pytest.fixture
def configure(cmake, tmp_path):
    """configure(*defines, tarballs={}, env=None): configures a copy of the
    top-level CMake files. The copy's third_party/ holds every fetched
    tarball, except as tarballs says: {entry name: content, or None for no
    file}. Returns (exit status, stdout, stderr); the build folder is
    tmp_path / "build"."""

    def run(*defines, tarballs=None, env=None):
        source = tmp_path / "src"
        shutil.copytree(ROOT / "cmake", source / "cmake")
        shutil.copytree(ROOT / "norvane", source / "norvane")
        shutil.copy(ROOT / "CMakeLists.txt", source)
        (source / "third_party").mkdir()
        shutil.copy(SOURCES, source / "third_party")
        for name in LIBRARIES:
            tarball = ROOT / "third_party" / entry(name)[1]
            content = (tarballs or {}).get(name, tarball.read_bytes() if tarball.exists() else None)
            if content is not None:
                (source / "third_party" / tarball.name).write_bytes(content)
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


def no_system(name):
    return f"-DCMAKE_DISABLE_FIND_PACKAGE_{LIBRARIES[name][2]}=ON"


@pytest.mark.parametrize("name", LIBRARIES)
def test_no_library_anywhere_names_both_ways_out(configure, name):
    display, _, _, debian = LIBRARIES[name]
    status, _, stderr = configure(no_system(name), tarballs={name: None})
    assert status != 0
    message = the_message(stderr, f"{display} was not found")
    assert f"apt-get install {debian}" in message and "sdist" in message


@pytest.mark.parametrize("name", LIBRARIES)
@pytest.mark.parametrize("content", [b"", b"\xfd7zXZ\x00 not the source"], ids=["empty", "other bytes"])
def test_a_damaged_tarball_is_refused(configure, name, content):
    display, choice, _, _ = LIBRARIES[name]
    status, _, stderr = configure(f"-D{choice}=BUNDLED", tarballs={name: content})
    assert status != 0
    message = the_message(stderr, f"is damaged or not the pinned {display} source")
    assert entry(name)[2] in message and "scripts/fetch-sources" in message


@pytest.mark.parametrize("name", LIBRARIES)
@pytest.mark.parametrize("value, phrase", [("SYSTEM", "apt-get install {debian}"), ("yes", "use AUTO, SYSTEM or BUNDLED")])
def test_a_choice_that_cannot_be_met_is_refused(configure, name, value, phrase):
    _, choice, _, debian = LIBRARIES[name]
    status, _, stderr = configure(f"-D{choice}={value}", no_system(name))
    assert status != 0
    assert choice in the_message(stderr, phrase.format(debian=debian))


def test_a_missing_compiler_is_named(configure, tmp_path):
    status, _, stderr = configure(env={"CXX": str(tmp_path / "no-such-c++")})
    assert status != 0
    assert "no-such-c++" in the_message(stderr, "norvane needs a C++20 compiler")


@pytest.mark.parametrize("name", LIBRARIES)
def test_a_bundled_build_names_a_missing_c_compiler(configure, tmp_path, name):
    display, choice, _, debian = LIBRARIES[name]
    fetched(name)
    status, _, stderr = configure(f"-D{choice}=BUNDLED", env={"CC": str(tmp_path / "no-such-cc")})
    assert status != 0
    message = the_message(stderr, f"building the bundled {display} needs a C compiler")
    assert "no-such-cc" in message and f"apt-get install {debian}" in message


@pytest.mark.parametrize("name", LIBRARIES)
def test_the_log_names_the_system_library(configure, name):
    display = LIBRARIES[name][0]
    status, stdout, stderr = configure()
    if status != 0 and f"{display} was not found" in stderr:
        pytest.skip(f"this system has no {display}")
    assert status == 0, stderr
    if f"-- {display}: bundled" in stdout:
        pytest.skip(f"this system has no {display}")
    assert f"-- {display}: the system's" in stdout


@pytest.mark.parametrize("name", LIBRARIES)
def test_the_log_names_the_bundled_library(configure, name):
    display, choice, _, _ = LIBRARIES[name]
    version, file, _ = entry(name)
    status, stdout, stderr = configure(f"-D{choice}=BUNDLED", tarballs={name: fetched(name)})
    assert status == 0, stderr
    assert f"-- {display}: bundled {version}, built from third_party/{file} (SHA-256 checked" in stdout
    if name == "libsodium" and platform.machine() == "x86_64":
        # The multi-block ChaCha20 (SSSE3, AVX2) and Poly1305 (SSE2) code
        # that libsodium picks at run time is compiled in.
        line = next(line for line in stdout.splitlines() if line.startswith("-- libsodium: bundled"))
        assert all(f" {isa} " in line for isa in ("SSE2", "SSSE3", "AVX2")), line


def archive(path):
    """(member names without .c.o / .o and automake's group prefix,
    defined global symbols) of a static library."""
    names = subprocess.run(["ar", "t", path], capture_output=True, text=True, check=True).stdout.split()
    members = set()
    for name in names:
        stem = name.removesuffix(".o").removesuffix(".c").removesuffix(".S")
        members.add(stem.split("_la-", 1)[1] if "_la-" in stem else stem)
    symbols = set()
    for line in subprocess.run(["nm", "-g", "--defined-only", path],
                               capture_output=True, text=True, check=True).stdout.splitlines():
        fields = line.split()
        if len(fields) == 3:
            symbols.add((fields[1], fields[2]))
    return members, symbols


def test_the_bundled_libsodium_is_debians_library_in_position_independent_code(configure, cmake, tmp_path):
    """Built from the same source with configure's choices, the bundled
    libsodium is position-independent and has the objects and the interface
    of the system's (Debian's libsodium.a, where installed), the SIMD
    ChaCha20 and Poly1305 among them on x86_64."""
    if shutil.which("ar") is None or shutil.which("nm") is None:
        pytest.skip("needs binutils")
    status, _, stderr = configure("-DNORVANE_SODIUM=BUNDLED", tarballs={"libsodium": fetched("libsodium")})
    assert status == 0, stderr
    build = tmp_path / "build"
    done = subprocess.run([cmake, "--build", build, "--target", "norvane_sodium", "-j2"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    bundled = build / "libnorvane_sodium.a"
    # All of it links into a shared object, its interface exported, without a
    # text relocation (-z text): Debian's libsodium.a fails this (its
    # executable code reaches its own globals PC-relatively).
    compiler = next(line.split("=", 1)[1] for line in (build / "CMakeCache.txt").read_text().splitlines()
                    if line.startswith("CMAKE_C_COMPILER:"))
    linked = subprocess.run([compiler, "-shared", "-Wl,-z,text", "-Wl,--whole-archive", bundled,
                          "-Wl,--no-whole-archive", "-pthread", "-o", tmp_path / "libsodium-test.so"],
                         capture_output=True, text=True, timeout=300)
    assert linked.returncode == 0, linked.stderr
    members, symbols = archive(bundled)
    if platform.machine() == "x86_64":
        assert {"chacha20_dolbeau-ssse3", "chacha20_dolbeau-avx2", "poly1305_sse2"} <= members
    [bundled_include] = build.glob("_bundled/libsodium/*/src/libsodium/include")
    bundled_cpu = cpu_features(compiler, tmp_path / "bundled", bundled_include, bundled)
    # The system's libsodium.a and its header, as the build under test found them.
    cache = pathlib.Path(os.environ["NORVANE_BUILD_DIR"]) / "CMakeCache.txt"
    found = dict(line.split("=", 1) for line in cache.read_text().splitlines()
                 if line.startswith(("Sodium_LIBRARY:", "Sodium_INCLUDE_DIR:"))) if cache.exists() else {}
    system = found.get("Sodium_LIBRARY:FILEPATH", "")
    if not pathlib.Path(system).is_file():
        pytest.skip("no system libsodium.a to compare with")
    system_members, system_symbols = archive(system)
    system_include = pathlib.Path(found["Sodium_INCLUDE_DIR:PATH"])
    if sodium_version(system_include) == sodium_version(bundled_include):
        assert members == system_members
        assert symbols == system_symbols
    else:
        # An older system library (Debian 12 has 1.0.18): every function its
        # headers declare, the bundled one defines too.
        declared = set(re.findall(r"\b(?:crypto|sodium|randombytes)_\w+(?=\s*\()",
                                  "".join(header.read_text() for header in (system_include / "sodium").glob("*.h"))))
        missing = {(kind, name) for kind, name in system_symbols if name in declared} - symbols
        assert not missing, sorted(missing)
    # sodium_init sees the same CPU features through both: the CPUID and
    # XGETBV code that its run-time choice rests on is compiled in.
    assert bundled_cpu == cpu_features(compiler, tmp_path / "system", found["Sodium_INCLUDE_DIR:PATH"], system)


def sodium_version(include):
    """SODIUM_VERSION_STRING of the libsodium whose headers are in include."""
    header = (pathlib.Path(include) / "sodium" / "version.h").read_text()
    return re.search(r'#define SODIUM_VERSION_STRING "([^"]+)"', header).group(1)


CPU_FEATURES = """#include <stdio.h>
#include <sodium.h>
int main(void) {
    if (sodium_init() < 0) return 1;
    printf("sse2=%d ssse3=%d sse41=%d avx=%d avx2=%d avx512f=%d pclmul=%d aesni=%d\\n",
           sodium_runtime_has_sse2(), sodium_runtime_has_ssse3(), sodium_runtime_has_sse41(),
           sodium_runtime_has_avx(), sodium_runtime_has_avx2(), sodium_runtime_has_avx512f(),
           sodium_runtime_has_pclmul(), sodium_runtime_has_aesni());
    return 0;
}
"""


def cpu_features(compiler, folder, include, library):
    """What sodium_init finds of the CPU, through the given libsodium."""
    folder.mkdir()
    (folder / "features.c").write_text(CPU_FEATURES)
    subprocess.run([compiler, folder / "features.c", f"-I{include}", library, "-pthread", "-o", folder / "features"],
                   check=True, capture_output=True, timeout=300)
    return subprocess.run([folder / "features"], check=True, capture_output=True, text=True, timeout=60).stdout


@pytest.mark.parametrize("defines, phrase", [
    ([], "the Zig toolchain needs NORVANE_ZIG_TARGET"),
    (["-DNORVANE_ZIG_TARGET=riscv64-linux-gnu.2.17", "-DNORVANE_ZIG=/bin/true"],
     "the Zig toolchain knows x86_64, aarch64 and arm targets, not 'riscv64-linux-gnu.2.17'"),
    (["-DNORVANE_ZIG_TARGET=aarch64-linux-musl", "-DNORVANE_ZIG=/nonexistent/zig", "-DCMAKE_PROGRAM_PATH=/nonexistent"],
     None),
], ids=["no target", "unknown architecture", "no zig"])
def test_the_zig_toolchain_names_what_it_lacks(configure, tmp_path, defines, phrase):
    toolchain = f"-DCMAKE_TOOLCHAIN_FILE={tmp_path / 'src' / 'cmake' / 'ZigToolchain.cmake'}"
    status, _, stderr = configure(toolchain, *defines)
    assert status != 0
    if phrase is not None:
        # The toolchain file's error is the first; CMake then adds that it
        # has no build program, since it stopped before finding one.
        assert stderr.startswith("CMake Error at cmake/ZigToolchain.cmake"), stderr
        assert len([line for line in stderr.splitlines() if phrase in line]) == 1, stderr
    else:
        # A zig that is not there is the compiler CMake cannot run.
        assert "/nonexistent/zig" in stderr
