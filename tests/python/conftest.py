"""Shared fixtures and helpers for the norvanes tests.

The module under test is whatever `import norvanes` finds: the CMake build's
binding directory (on PYTHONPATH) or an installed wheel.
"""

import base64
import errno
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import norvanes
from norvanes import Backend, Norvane

KEY = 0x0F1E2D3C4B5A69788796A5B4C3D2E1F0
OTHER_KEY = KEY ^ 1
BACKEND_NAMES = ["AES256_GCM", "XCHACHA20_POLY1305"]
NONCE_LEN = {"AES256_GCM": 12, "XCHACHA20_POLY1305": 24}


@pytest.fixture(params=BACKEND_NAMES)
def backend_name(request):
    return request.param


@pytest.fixture
def backend(backend_name):
    return getattr(Backend, backend_name)


@pytest.fixture
def box(backend):
    """A Norvane under KEY for each backend."""
    return Norvane(backend, key=KEY)


def b64d(field):
    return base64.urlsafe_b64decode(field.encode("ascii"))


def b64e(raw):
    return base64.urlsafe_b64encode(raw).decode("ascii")


def fields(token):
    """The three decoded fields of a token: nonce, context record, sealed bytes."""
    nonce, context, sealed = token.split(".")
    return b64d(nonce), b64d(context), b64d(sealed)


def join(nonce, context, sealed):
    return ".".join(b64e(part) for part in (nonce, context, sealed))


def context_record(expires_at, purpose):
    raw = purpose.encode("utf-8")
    return bytes([1]) + expires_at.to_bytes(8, "big") + bytes([len(raw)]) + raw


def raised(fn, *args, **kwargs):
    """Run fn and return the exception it raises (failing if it returns)."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


def run_python(code, env=None, timeout=120):
    """Run code in a fresh interpreter that imports the same norvanes."""
    full_env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(norvanes.__file__))
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, full_env.get("PYTHONPATH")]))
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


_CLOCK_SHIM = r"""
/* The shim defines both clocks a 32-bit glibc program may call, whatever
   time_t the compiler defaults to: clock_gettime with 32-bit seconds, and
   glibc's __clock_gettime64. */
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* CLOCK_REALTIME as NORVANE_TEST_CLOCK says: unset = the real clock (0),
   "fail" = an error (-1), "bad-nsec" = a nanosecond field of 10**9,
   otherwise that many whole seconds (negative = before 1970). */
static int test_clock(clockid_t id, long long *sec, long *nsec) {
    const char *mode = getenv("NORVANE_TEST_CLOCK");
    if (id != CLOCK_REALTIME || mode == NULL) return 0;
    if (strcmp(mode, "fail") == 0) { errno = EINVAL; return -1; }
    if (strcmp(mode, "bad-nsec") == 0) { *sec = 1700000000; *nsec = 1000000000L; return 1; }
    *sec = strtoll(mode, NULL, 10);
    *nsec = 999999999L;
    return 1;
}

int clock_gettime(clockid_t id, struct timespec *ts) {
    static int (*real)(clockid_t, struct timespec *);
    if (!real) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    long long sec;
    long nsec;
    int set = test_clock(id, &sec, &nsec);
    if (set == 0) return real(id, ts);
    if (set < 0) return -1;
    /* Seconds that do not fit time_t fail, as glibc's 32-bit call does. */
    if ((long long)(time_t)sec != sec) { errno = EOVERFLOW; return -1; }
    ts->tv_sec = (time_t)sec;
    ts->tv_nsec = nsec;
    return 0;
}

#if defined(__GLIBC__) && __SIZEOF_LONG__ == 4
struct glibc_timespec64 {
    int64_t tv_sec;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    int32_t padding, tv_nsec;
#else
    int32_t tv_nsec, padding;
#endif
};

int __clock_gettime64(clockid_t id, struct glibc_timespec64 *ts) {
    static int (*real)(clockid_t, struct glibc_timespec64 *);
    if (!real) real = (int (*)(clockid_t, struct glibc_timespec64 *))dlsym(RTLD_NEXT, "__clock_gettime64");
    long long sec;
    long nsec;
    int set = test_clock(id, &sec, &nsec);
    if (set == 0) {
        if (!real) { errno = ENOSYS; return -1; }
        return real(id, ts);
    }
    if (set < 0) return -1;
    ts->tv_sec = sec;
    ts->tv_nsec = (int32_t)nsec;
    return 0;
}
#endif
"""


def compile_c(tmp_path_factory, name, source, *flags):
    """Builds a small C program or library for a test, or skips the test
    where there is no compiler or it fails."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None or not sys.platform.startswith("linux"):
        pytest.skip(f"needs a C compiler on Linux to build the {name}")
    folder = tmp_path_factory.mktemp(name.replace(" ", "_"))
    path = folder / (name.replace(" ", "_") + ".c")
    path.write_text(source)
    output = folder / name.replace(" ", "_")
    build = subprocess.run([cc, "-o", str(output), str(path), *flags], capture_output=True)
    if build.returncode != 0:
        pytest.skip(f"could not build the {name}: " + build.stderr.decode(errors="replace"))
    return str(output)


@pytest.fixture(scope="session")
def clock_shim(tmp_path_factory):
    """A preload library that lets a child interpreter set the real-time
    clock per call through the NORVANE_TEST_CLOCK environment variable."""
    return compile_c(tmp_path_factory, "clock shim", _CLOCK_SHIM, "-shared", "-fPIC", "-ldl")


@pytest.fixture
def run_with_clock(clock_shim):
    """run_with_clock(code) runs code in a child whose real-time clock the
    code sets with os.environ["NORVANE_TEST_CLOCK"]."""

    def run(code):
        return run_python(code, env={"LD_PRELOAD": clock_shim})

    return run


_SANDBOX_SOURCE = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__)
#define ARCH AUDIT_ARCH_ARM
#elif defined(__i386__)
#define ARCH AUDIT_ARCH_I386
#else
#error "unknown architecture"
#endif

/* norvane_test_sandbox makes the getrandom system call fail with `err`
   (none when 0), as an old kernel or a strict seccomp profile would, and
   with hide_dev replaces /dev by an empty tmpfs in a mount namespace of the
   process's own, so that /dev/random and /dev/urandom cannot be opened.
   0 on success, else the step that failed. */
int norvane_test_sandbox(int err, int hide_dev) {
    if (hide_dev) {
        if (unshare(CLONE_NEWNS) != 0) return 1;
        /* Nothing mounted here may reach the parent's namespace: / is made
           private or, in a chroot where / is no mount point, /dev. */
        if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 &&
            mount(NULL, "/dev", NULL, MS_REC | MS_PRIVATE, NULL) != 0) return 2;
        if (mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) return 3;
    }
    if (err != 0) {
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ((unsigned)err & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog prog = {sizeof filter / sizeof filter[0], filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return 4;
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) return 5;
    }
    return 0;
}

#ifndef SANDBOX_LIBRARY
/* launcher ERRNO DEV PROGRAM ARG...: runs PROGRAM in the sandbox above;
   DEV is "dev" or "nodev". */
int main(int argc, char **argv) {
    if (argc < 4) return 2;
    int step = norvane_test_sandbox(atoi(argv[1]), argv[2][0] == 'n');
    if (step != 0) {
        fprintf(stderr, "sandbox step %d: ", step);
        perror("");
        return 3;
    }
    execv(argv[3], argv + 3);
    perror("execv");
    return 4;
}
#endif
"""


def module_env(extra=None):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(norvanes.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    env.update(extra or {})
    return env


@pytest.fixture(scope="session")
def sandbox_launcher(tmp_path_factory):
    """The sandbox as a launcher program and as a library that a child
    loads with ctypes to sandbox itself later: (launcher, library,
    whether /dev can be hidden here)."""
    launcher = compile_c(tmp_path_factory, "seccomp launcher", _SANDBOX_SOURCE)
    library = compile_c(tmp_path_factory, "seccomp library", _SANDBOX_SOURCE, "-shared", "-fPIC",
                        "-DSANDBOX_LIBRARY")
    probe = subprocess.run([launcher, str(errno.ENOSYS), "dev", sys.executable, "-c",
                            "import os; os.getrandom(1)"], capture_output=True, text=True)
    if "ENOSYS" not in probe.stderr and "Function not implemented" not in probe.stderr:
        pytest.skip("this kernel does not apply the seccomp filter: " + probe.stderr[-200:])
    hides_dev = subprocess.run([launcher, "0", "nodev", sys.executable, "-c",
                                "import os; assert not os.path.exists('/dev/urandom')"],
                               capture_output=True).returncode == 0
    return launcher, library, hides_dev


@pytest.fixture(scope="session")
def no_getrandom(sandbox_launcher):
    """run(code, env=None) runs code in a child interpreter whose getrandom
    system call fails with ENOSYS, so that the module takes its device
    fallback; env adds to the environment."""
    launcher = sandbox_launcher[0]

    def run(code, env=None):
        return subprocess.run([launcher, str(errno.ENOSYS), "dev", sys.executable, "-c",
                               textwrap.dedent(code)], capture_output=True, text=True, env=module_env(env),
                              timeout=120)

    return run
