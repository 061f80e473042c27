"""The build stops in one line that says what is missing and how to get it,
and its configure log says which BearSSL and which libsodium it links.

Each case configures a copy of the top-level CMake files and the core's
folder (the checks run before any target; the module, the tool and the tests
are left out), so no compiler runs beyond CMake's own probes, except where a
case builds the bundled libsodium itself. A copy's table names places on
this machine only (a local HTTP server, file:// folders, a closed port), so
no case needs the internet, and the download of what a checkout lacks is
tested as scripts/fetch-sources's is.
Runs with the CMake build's tests (NORVANE_BUILD_DIR, as scripts/test sets).
"""

import hashlib
import http.server
import os
import pathlib
import platform
import re
import shutil
import socket
import subprocess
import threading

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = ROOT / "third_party" / "sources.txt"
# A step's time limit only stops one that hangs: configuring the bundled
# libsodium runs hundreds of compiler checks, which under emulation
# (scripts/test-emulated) and on a busy machine take many minutes.
STEP_TIMEOUT = 1800

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
def closed_port():
    """A loopback URL where nothing listens: a machine that is offline."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}"


def with_pools(table, pools):
    """The text of a sources.txt whose pool lines are pools instead."""
    lines = [line for line in table.splitlines() if not line.startswith("pool ")]
    return "\n".join([*(f"pool  {pool}" for pool in pools), *lines]) + "\n"


@pytest.fixture
def configure(cmake, tmp_path, closed_port):
    """configure(*defines, tarballs={}, pools=None, env=None): configures a
    copy of the top-level CMake files. The copy's third_party/ holds every
    fetched tarball, except as tarballs says: {entry name: content, or None
    for no file}; its table names the pools given (a closed port unless
    told). NORVANE_DEBIAN_MIRROR is unset unless env sets it. Returns (exit
    status, stdout, stderr); the build folder is tmp_path / "build"."""

    def run(*defines, tarballs=None, pools=None, env=None):
        source = tmp_path / "src"
        shutil.copytree(ROOT / "cmake", source / "cmake", dirs_exist_ok=True)
        shutil.copytree(ROOT / "norvane", source / "norvane", dirs_exist_ok=True)
        shutil.copy(ROOT / "CMakeLists.txt", source)
        shutil.rmtree(source / "third_party", ignore_errors=True)
        (source / "third_party").mkdir()
        (source / "third_party" / "sources.txt").write_text(
            with_pools(SOURCES.read_text(), pools or [f"{closed_port}/pool/main"]))
        for name in LIBRARIES:
            tarball = ROOT / "third_party" / entry(name)[1]
            content = (tarballs or {}).get(name, tarball.read_bytes() if tarball.exists() else None)
            if content is not None:
                (source / "third_party" / tarball.name).write_bytes(content)
        parts = ["-DNORVANE_BUILD_PYTHON=OFF", "-DNORVANE_BUILD_CLI=OFF", "-DNORVANE_BUILD_TESTS=OFF"]
        environ = {key: value for key, value in os.environ.items() if key != "NORVANE_DEBIAN_MIRROR"}
        done = subprocess.run([cmake, "-S", source, "-B", tmp_path / "build", *parts, *defines],
                              capture_output=True, text=True, env={**environ, **(env or {})}, timeout=STEP_TIMEOUT)
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
@pytest.mark.parametrize("fetch, phrases", [
    ("ON", ["could not be downloaded: no server answered (is this machine offline?)", "NORVANE_DEBIAN_MIRROR"]),
    ("OFF", ["scripts/fetch-sources", "NORVANE_FETCH_SOURCES=ON"]),
], ids=["offline", "no downloads"])
def test_no_library_anywhere_names_the_ways_out(configure, name, fetch, phrases):
    display, _, _, debian = LIBRARIES[name]
    _, file, sha256 = entry(name)
    status, _, stderr = configure(no_system(name), f"-DNORVANE_FETCH_SOURCES={fetch}", tarballs={name: None})
    assert status != 0
    message = the_message(stderr, f"{display} was not found")
    assert f"apt-get install {debian}" in message and "sdist" in message
    assert f"{sha256}) into third_party/" in message and file in message
    assert all(phrase in message for phrase in phrases), message


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


class PoolServer:
    """A Debian archive on a loopback HTTP server: serves {path: content},
    answers 404 to everything else, and records the paths asked for."""

    def __init__(self, files):
        self.files = files
        self.asked = []
        pool_server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                pool_server.asked.append(self.path)
                content = pool_server.files.get(self.path)
                self.send_response(404 if content is None else 200)
                self.send_header("Content-Length", str(len(content or b"")))
                self.end_headers()
                self.wfile.write(content or b"")

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def downloads(self):
        """The files asked for, without the probes of the server's root."""
        return [path for path in self.asked if path != "/"]


@pytest.fixture
def debian_archive():
    servers = []

    def serve(files):
        servers.append(PoolServer(files))
        return servers[-1]

    yield serve
    for server in servers:
        server.server.shutdown()
        server.server.server_close()


def pool_path(package, file):
    """Where a pool keeps FILE of the source package PACKAGE."""
    return f"{package[:4] if package.startswith('lib') else package[0]}/{package}/{file}"


# Places a table names, in order: a pool without the file (404), a closed
# port, a pool whose copy is damaged, a pool with the pinned file. Each case
# lists the ones its table names, and the outcome: the pool the file comes
# from, or the phrase of the refusal.
PLACES = {
    "404 first": (["missing", "good"], "good"),
    "every kind of failure first": (["missing", "offline", "damaged", "good"], "good"),
    "only a damaged copy": (["missing", "damaged"], "did not match the pinned SHA-256"),
    "nowhere": (["missing", "missing"], "none of the 2 places tried has it"),
    "offline": (["offline", "offline"], "no server answered (is this machine offline?)"),
}


def places(debian_archive, closed_port, package, file, content, names):
    """(server, pools) for the places named, serving content as the pinned file."""
    path = pool_path(package, file)
    server = debian_archive({f"/good/pool/main/{path}": content,
                             f"/damaged/pool/main/{path}": content[: len(content) // 2] + b"tampered"})
    return server, [f"{closed_port}/pool/main" if name == "offline" else f"{server.url}/{name}/pool/main"
                    for name in names]


# The build and the script share the download (cmake/NorvaneSources.cmake):
# the script's test goes through every case, the build's through one of
# each outcome (the offline one above).
@pytest.mark.parametrize("case", ["every kind of failure first", "only a damaged copy"])
def test_a_checkout_without_the_tarball_downloads_it_from_the_first_place_that_has_it(
        configure, debian_archive, closed_port, tmp_path, case):
    names, outcome = PLACES[case]
    version, file, sha256 = entry("bearssl")
    content = fetched("bearssl")
    server, pools = places(debian_archive, closed_port, "bearssl", file, content, names)
    status, stdout, stderr = configure("-DNORVANE_BEARSSL=BUNDLED", tarballs={"bearssl": None}, pools=pools)
    downloads = tmp_path / "build" / "_bundled" / "downloads"
    tried = [f"/{name}/pool/main/{pool_path('bearssl', file)}" for name in names if name != "offline"]
    if outcome == "good":
        assert status == 0, stderr
        url = f"{server.url}/good/pool/main/{pool_path('bearssl', file)}"
        assert f"-- BearSSL: bundled {version}, built from {file}, downloaded from {url} (SHA-256 checked)" in stdout
        assert server.downloads() == tried
        assert sorted(path.name for path in downloads.iterdir()) == [file]
        assert (downloads / file).read_bytes() == content
        assert "-- BearSSL:   refused: SHA-256 " in stdout and "-- BearSSL:   failed: HTTP/1.0 404" in stdout
        # A second configure of the same build folder asks no one again.
        asked = len(server.asked)
        status, stdout, stderr = configure("-DNORVANE_BEARSSL=BUNDLED", tarballs={"bearssl": None}, pools=pools)
        assert status == 0, stderr
        assert f"built from {file}, downloaded earlier into this build folder (SHA-256 checked)" in stdout
        assert len(server.asked) == asked
    else:
        assert status != 0
        message = the_message(stderr, "could not be downloaded")
        assert outcome in message and sha256 in message
        assert server.downloads() == tried
        assert not downloads.exists() or not list(downloads.iterdir())


def test_the_mirror_named_in_the_environment_replaces_the_tables_places(configure, debian_archive, tmp_path):
    """NORVANE_DEBIAN_MIRROR's archives are tried, in their order, instead
    of the table's pools, file:// folders among them."""
    _, file, _ = entry("bearssl")
    content = fetched("bearssl")
    path = pool_path("bearssl", file)
    table_archive = debian_archive({f"/pool/main/{path}": content})
    empty = debian_archive({})
    mirror = tmp_path / "mirror"
    (mirror / "pool" / "main" / path).parent.mkdir(parents=True)
    (mirror / "pool" / "main" / path).write_bytes(content)
    status, stdout, stderr = configure("-DNORVANE_BEARSSL=BUNDLED", tarballs={"bearssl": None},
                                       pools=[f"{table_archive.url}/pool/main"],
                                       env={"NORVANE_DEBIAN_MIRROR": f"{empty.url}/debian/  {mirror.as_uri()}"})
    assert status == 0, stderr
    assert f"built from {file}, downloaded from {mirror.as_uri()}/pool/main/{path} (SHA-256 checked" in stdout
    assert empty.downloads() == [f"/debian/pool/main/{path}"]
    assert table_archive.asked == []


@pytest.fixture
def fetch_sources(cmake, tmp_path):
    """fetch_sources(table, *names, env=None): runs scripts/fetch-sources
    from a copy whose table is the text given. Returns (exit status, stdout,
    stderr, the copy's third_party/)."""
    copy = tmp_path / "copy"
    (copy / "scripts").mkdir(parents=True)
    (copy / "cmake").mkdir()
    (copy / "third_party").mkdir()
    shutil.copy(ROOT / "scripts" / "fetch-sources", copy / "scripts")
    shutil.copy(ROOT / "cmake" / "NorvaneSources.cmake", copy / "cmake")
    environ = {key: value for key, value in os.environ.items() if key != "NORVANE_DEBIAN_MIRROR"}
    environ["PATH"] = os.pathsep.join([str(pathlib.Path(cmake).parent), environ.get("PATH", "")])

    def run(table, *names, env=None):
        (copy / "third_party" / "sources.txt").write_text(table)
        done = subprocess.run(["bash", copy / "scripts" / "fetch-sources", *names], capture_output=True,
                              text=True, env={**environ, **(env or {})}, timeout=STEP_TIMEOUT)
        return done.returncode, done.stdout, done.stderr, copy / "third_party"

    return run


@pytest.mark.parametrize("case", PLACES)
def test_fetch_sources_tries_the_same_places(fetch_sources, debian_archive, closed_port, case):
    """The script downloads as the build does: the first place with the
    pinned bytes, or one line that names the reason and the ways out, and
    third_party/ holds only the pinned bytes. (A lib* package, filed under
    four letters.)"""
    names, outcome = PLACES[case]
    content = b"the upstream tarball of libdemo 1.0\n" * 100
    sha256 = hashlib.sha256(content).hexdigest()
    file = "libdemo_1.0.orig.tar.xz"
    server, pools = places(debian_archive, closed_port, "libdemo", file, content, names)
    table = with_pools(f"demo  libdemo  1.0  {file}  {sha256}\n", pools)
    status, stdout, stderr, third_party = fetch_sources(table)
    # The places in order, up to the first that has the pinned bytes.
    assert server.downloads() == [f"/{name}/pool/main/libd/libdemo/{file}" for name in names if name != "offline"]
    if outcome == "good":
        assert status == 0, stderr
        assert (third_party / file).read_bytes() == content
        assert f"fetch-sources: {file} saved in third_party/ (SHA-256 {sha256})" in stdout
        # Kept, and checked, without asking anyone again.
        asked = len(server.asked)
        status, stdout, _, _ = fetch_sources(table)
        assert status == 0 and f"fetch-sources: {file} is there (SHA-256 checked)" in stdout
        assert len(server.asked) == asked
    else:
        assert status != 0
        assert stderr.count("\n") == 1 and stderr.startswith(f"fetch-sources: could not download {file}: ")
        assert outcome in stderr and "NORVANE_DEBIAN_MIRROR" in stderr
        assert f"put {file} (SHA-256 {sha256}) into third_party/" in stderr
        assert sorted(path.name for path in third_party.iterdir()) == ["sources.txt"]


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
    build = bundled_sodium_build(configure, cmake, tmp_path)
    bundled = build / "libnorvane_sodium.a"
    # All of it links into a shared object, its interface exported, without a
    # text relocation (-z text): Debian's libsodium.a fails this (its
    # executable code reaches its own globals PC-relatively).
    compiler = next(line.split("=", 1)[1] for line in (build / "CMakeCache.txt").read_text().splitlines()
                    if line.startswith("CMAKE_C_COMPILER:"))
    linked = subprocess.run([compiler, "-shared", "-Wl,-z,text", "-Wl,--whole-archive", bundled,
                          "-Wl,--no-whole-archive", "-pthread", "-o", tmp_path / "libsodium-test.so"],
                         capture_output=True, text=True, timeout=STEP_TIMEOUT)
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


def bundled_sodium_build(configure, cmake, tmp_path):
    """A build folder holding the bundled libsodium: the build under test's
    when it was configured with it (the library its module links; under
    emulation a second build of libsodium would take the better part of an
    hour), else one configured and built here."""
    build_dir = os.environ.get("NORVANE_BUILD_DIR")
    if build_dir:
        build = pathlib.Path(build_dir)
        cache = build / "CMakeCache.txt"
        if ((build / "libnorvane_sodium.a").is_file() and cache.is_file()
                and "NORVANE_SODIUM:STRING=BUNDLED" in cache.read_text().splitlines()):
            return build
    status, _, stderr = configure("-DNORVANE_SODIUM=BUNDLED", tarballs={"libsodium": fetched("libsodium")})
    assert status == 0, stderr
    build = tmp_path / "build"
    done = subprocess.run([cmake, "--build", build, "--target", "norvane_sodium", "-j2"],
                          capture_output=True, text=True, timeout=STEP_TIMEOUT)
    assert done.returncode == 0, done.stdout + done.stderr
    return build


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
                   check=True, capture_output=True, timeout=STEP_TIMEOUT)
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
