"""Benchmark of the norvanes module against what a Python program would use instead.

Run it through bench/run, which makes the environment. In one run on one interpreter it times,
with timeit (auto-ranged number of calls, median of repeats, the cases interleaved round-robin
so that load from other processes falls on all of them alike), for 64 B, 1 KiB and 16 KiB
payloads, minting and opening with:

- norvanes, both backends (AES-256-GCM and XChaCha20-Poly1305);
- cryptography's Fernet (its own token format);
- the bare AEAD calls a Python caller can make: cryptography's AESGCM and ChaCha20Poly1305
  encrypt and decrypt with a fixed nonce and the 17-byte context record as associated data (no
  nonce drawn, no token made or split: a floor, not a peer);
- "AESGCM glue": cryptography's AESGCM producing the very same token in Python: os.urandom(12)
  nonce, the 17-byte context record as associated data, three base64.urlsafe_b64encode fields
  joined by "."; opening splits, decodes, decrypts and checks version, purpose and expiry;
- "PyNaCl XChaCha glue": the same with libsodium's XChaCha20-Poly1305 and os.urandom(24);
- os.urandom(12) alone.

The glue tokens are checked to open with norvanes and the other way round before anything is
timed, so both sides do the same job. The glue does a little less than norvanes when opening (the
stdlib base64 decoder is not strict about canonical text, and the plaintext's UTF-8 is not
checked), which makes the ratios conservative.

Then it prints the Markdown tables: median ns per operation, every target ratio with its floor
and whether it is met (information only: nothing here fails), the ratios against the Python glue,
an RSS check over --cycles mint+open cycles per backend (plus a tenth as many refused opens), and
the machine it ran on (CPU, kernel, C library, whether the kernel's vDSO offers getrandom).
"""

from __future__ import annotations

import argparse
import base64
import gc
import hashlib
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KEY = 0x2F6B_1C9A_0D4E_7781_93A5_C6E0_1B2D_3F47  # fixed 128-bit test key
SIZES = (64, 1024, 16384)
SIZE_NAMES = {64: "64 B", 1024: "1 KiB", 16384: "16 KiB"}
CTX_DEFAULT = b"\x01" + bytes(8) + b"\x07session"  # version 1, no expiry, purpose "session"
FIXED_NONCE = bytes(12)  # the bare AEAD calls: no nonce is drawn


def load_norvanes():
    extra = os.environ.get("NORVANES_PATH")
    if extra:
        sys.path.insert(0, extra)
    try:
        import norvanes
    except ImportError as exc:  # reported by the caller
        return None, exc
    return norvanes, None


# ---------------------------------------------------------------------------------------------
# The peers: the same token shape done in Python.


def context(expires_at, purpose):
    if expires_at is None and purpose is None:
        return CTX_DEFAULT
    p = ("session" if purpose is None else purpose).encode()
    return b"\x01" + (expires_at or 0).to_bytes(8, "big") + bytes((len(p),)) + p


def check_context(ctx, purpose):
    """Minimal context check, in norvanes' order: version, shape, purpose, expiry."""
    if len(ctx) < 11 or ctx[0] != 1 or len(ctx) != 10 + ctx[9]:
        raise ValueError("invalid token")
    if ctx[10:] != purpose:
        raise ValueError("token was not minted for the expected purpose")
    expiry = int.from_bytes(ctx[1:9], "big")
    if expiry and expiry <= time.time():
        raise ValueError("token has expired")


def make_glue(seal, unseal, nonce_len, fail):
    """mint/open closures around a one-shot AEAD: seal(nonce, data, ad), unseal(nonce, ct, ad)."""
    urandom = os.urandom
    b64e = base64.urlsafe_b64encode
    b64d = base64.urlsafe_b64decode

    def mint(data, expires_at=None, purpose=None):
        ctx = context(expires_at, purpose)
        nonce = urandom(nonce_len)
        return b".".join((b64e(nonce), b64e(ctx), b64e(seal(nonce, data, ctx)))).decode("ascii")

    def open_(token, purpose=b"session"):
        fields = token.encode("ascii").split(b".")
        if len(fields) != 3:
            raise ValueError("invalid token")
        nonce = b64d(fields[0])
        ctx = b64d(fields[1])
        sealed = b64d(fields[2])
        if len(nonce) != nonce_len:
            raise ValueError("invalid token")
        try:
            data = unseal(nonce, sealed, ctx)
        except fail:
            raise ValueError("the data has been modified") from None
        check_context(ctx, purpose)
        return data

    return mint, open_


def derived_key(label):
    """The cipher key norvanes uses: SHA-256(16 key bytes, big-endian || label)."""
    return hashlib.sha256(KEY.to_bytes(16, "big") + label).digest()


def aesgcm_glue():
    from cryptography.exceptions import InvalidTag
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    aead = AESGCM(derived_key(b"aes256gcm"))
    return make_glue(aead.encrypt, aead.decrypt, 12, InvalidTag)


def nacl_glue():
    from nacl.bindings import (
        crypto_aead_xchacha20poly1305_ietf_decrypt as dec,
        crypto_aead_xchacha20poly1305_ietf_encrypt as enc,
    )
    from nacl.exceptions import CryptoError

    key = derived_key(b"xchacha20poly1305")
    return make_glue(lambda n, d, a: enc(d, a, n, key), lambda n, c, a: dec(c, a, n, key), 24, CryptoError)


class Bare:
    """A bare one-shot AEAD (cryptography's AESGCM or ChaCha20Poly1305): encrypt and decrypt with
    a fixed nonce and the default context record as associated data, each timed as one direct call."""

    def __init__(self, aead):
        self.aead = aead


def bare_aesgcm():
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    return Bare(AESGCM(derived_key(b"aes256gcm")))


def bare_chacha():
    from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

    return Bare(ChaCha20Poly1305(derived_key(b"xchacha20poly1305")))


def fernet():
    from cryptography.fernet import Fernet

    f = Fernet(base64.urlsafe_b64encode(derived_key(b"fernet")))
    return f.encrypt, f.decrypt


# ---------------------------------------------------------------------------------------------
# Timing.


class Case:
    def __init__(self, key, fn, arg, clock):
        self.key = key  # (impl, size, op)
        self.timer = timeit.Timer("f(x)", timer=clock, globals={"f": fn, "x": arg})
        self.number = 0
        self.samples = []

    def calibrate(self, min_time, fixed):
        if fixed:
            self.number = fixed
            return
        # timeit.Timer.autorange with a configurable goal: 1, 2, 5, 10, 20, 50, ... calls
        i = 1
        while True:
            for j in (1, 2, 5):
                n = i * j
                if self.timer.timeit(n) >= min_time:
                    self.number = n
                    return
            i *= 10

    def sample(self):
        self.samples.append(self.timer.timeit(self.number) / self.number)

    @property
    def median(self):
        return statistics.median(self.samples)


class Floor(Case):
    def __init__(self, key, stmt, globals_, clock):
        self.key = key
        self.timer = timeit.Timer(stmt, timer=clock, globals=globals_)
        self.number = 0
        self.samples = []


def build_cases(impls, clock):
    cases = []
    for name, impl in impls.items():
        for n in SIZES:
            data = b"a" * n
            if isinstance(impl, Bare):
                enc, dec = impl.aead.encrypt, impl.aead.decrypt
                sealed = enc(FIXED_NONCE, data, CTX_DEFAULT)
                if dec(FIXED_NONCE, sealed, CTX_DEFAULT) != data:
                    raise SystemExit(f"bench: {name} does not round-trip {n} bytes")
                cases.append(Floor((name, n, "mint"), "f(n, x, a)",
                                   {"f": enc, "n": FIXED_NONCE, "x": data, "a": CTX_DEFAULT}, clock))
                cases.append(Floor((name, n, "open"), "f(n, x, a)",
                                   {"f": dec, "n": FIXED_NONCE, "x": sealed, "a": CTX_DEFAULT}, clock))
                continue
            mint, open_ = impl
            token = mint(data)
            if open_(token) != data:
                raise SystemExit(f"bench: {name} does not round-trip {n} bytes")
            cases.append(Case((name, n, "mint"), mint, data, clock))
            cases.append(Case((name, n, "open"), open_, token, clock))
    cases.append(Floor(("os.urandom(12)", 12, "floor"), "f(12)", {"f": os.urandom}, clock))
    return cases


def cross_check(nv_aes, nv_xc, aes, nacl):
    """The glue tokens are the same tokens: each side opens the other's."""
    problems = []
    for label, nv, (mint, open_) in (("AESGCM glue", nv_aes, aes), ("PyNaCl glue", nv_xc, nacl)):
        data = b"cross-check \xc3\xa9"
        try:
            ok = nv.decrypt(mint(data)) == data and open_(nv.encrypt(data)) == data
        except Exception as exc:  # noqa: BLE001 - reported, not fatal
            ok, data = False, exc
        if not ok:
            problems.append(f"{label} and norvanes do not open each other's tokens ({data!r})")
    return problems


# ---------------------------------------------------------------------------------------------
# Memory.


PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def rss_check(nv, cycles):
    enc, dec = nv.encrypt, nv.decrypt
    data = b"a" * 64
    for _ in range(10_000 if cycles >= 100_000 else 100):  # warm the allocators first
        dec(enc(data))
    gc.collect()
    before = rss()
    half = cycles // 2
    for _ in range(half):
        dec(enc(data))
    gc.collect()
    mid = rss()
    for _ in range(cycles - half):
        dec(enc(data))
    gc.collect()
    after = rss()
    # refused opens: the error path (exception objects) must not leak either
    tok = enc(data)
    bad = tok[:-6] + ("A" if tok[-6] != "A" else "B") + tok[-5:]
    refusals = max(cycles // 10, 1)
    for _ in range(refusals):
        try:
            dec(bad)
        except ValueError:
            pass
    gc.collect()
    after_refusals = rss()
    return before, mid, after, refusals, after_refusals


# ---------------------------------------------------------------------------------------------
# The machine.


def machine(norvanes):
    lines = []
    cpu = "unknown"
    flags = set()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name") and cpu == "unknown":
                cpu = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    feats = ", ".join(f for f in ("aes", "pclmulqdq", "avx2", "avx512f", "vaes") if f in flags)
    lines.append(f"- CPU: {cpu} ({os.cpu_count()} logical cores; {feats or 'no AES-NI'}); "
                 f"load average at start {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    lines.append(f"- OS: {platform.system()} {platform.release()} ({platform.machine()}){os_release()}")
    lines.append(f"- C library: {libc_line()}")
    lines.append(f"- Python: {platform.python_implementation()} {platform.python_version()} "
                 f"({sys.executable})")
    try:
        import cryptography
        from cryptography.hazmat.backends.openssl.backend import backend as ossl

        lines.append(f"- cryptography {cryptography.__version__} ({ossl.openssl_version_text()})")
    except Exception:  # noqa: BLE001
        pass
    try:
        import nacl

        lines.append(f"- PyNaCl {nacl.__version__}")
    except Exception:  # noqa: BLE001
        pass
    if norvanes is not None:
        so = Path(norvanes.__file__)
        digest = hashlib.sha256(so.read_bytes()).hexdigest()[:12] if so.is_file() else "?"
        version = getattr(norvanes, "__version__", None)
        lines.append(f"- norvanes {version or '(no __version__)'}: {so.name}, sha256 {digest}, "
                     f"{'from NORVANES_PATH' if os.environ.get('NORVANES_PATH') else 'built by pip install .'}; "
                     f"work tree {git_describe()}"
                     f"{'' if os.environ.get('NORVANES_PATH') else '; CMake build type ' + build_type()}")
    return lines


def os_release():
    try:
        for line in open("/etc/os-release"):
            if line.startswith("PRETTY_NAME="):
                return f", {line.split('=', 1)[1].strip().strip(chr(34))}"
    except OSError:
        pass
    return ""


def vdso_getrandom():
    """Whether the kernel's vDSO exports __vdso_getrandom (Linux 6.11 and later on x86_64):
    looks for the symbol's name in the vDSO image of this process. None when it cannot tell."""
    try:
        import ctypes

        for line in open("/proc/self/maps"):
            if line.rstrip().endswith("[vdso]"):
                lo, hi = (int(x, 16) for x in line.split()[0].split("-"))
                return b"\0__vdso_getrandom\0" in ctypes.string_at(lo, hi - lo)
    except Exception:  # noqa: BLE001
        return None
    return False


def libc_line():
    name, version = platform.libc_ver()
    vdso = vdso_getrandom()
    kernel = {True: "the kernel's vDSO offers getrandom", False: "the kernel's vDSO has no getrandom",
              None: "vDSO getrandom unknown"}[vdso]
    if name != "glibc" or not version:
        return f"{name or 'unknown'} {version}; {kernel}"
    major, minor = (int(x) for x in version.split(".")[:2])
    routes = (major, minor) >= (2, 41)
    use = ("so the C library's getrandom() (os.urandom) runs in user space" if routes and vdso
           else "but this C library's getrandom() does not use it (glibc 2.41 and later do)" if vdso
           else "so getrandom() is a system call")
    return f"glibc {version}; {kernel}, {use}"


def git_describe():
    env = os.environ.get("NORVANES_BENCH_SOURCE")
    if env:  # given by bench/run where the tree's git metadata is out of reach (the Debian 13 root)
        return env
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return f"commit {head}{' + local changes' if dirty else ''}"
    except Exception:  # noqa: BLE001
        return "commit unknown"


def build_type():
    try:
        import tomllib

        conf = tomllib.loads((ROOT / "pyproject.toml").read_text())
        sk = conf.get("tool", {}).get("scikit-build", {})
        return (sk.get("cmake", {}).get("build-type") or sk.get("build-type")
                or "Release (scikit-build-core default)")
    except Exception:  # noqa: BLE001
        return "unknown"


# ---------------------------------------------------------------------------------------------


def case_name(key):
    name, n, op = key
    return name if op == "floor" else f"{name} {SIZE_NAMES[n]} {op}"


def ns(t):
    return f"{t * 1e9:,.0f}"


# The columns of the time table, in this order (those that ran).
COLUMNS = ("norvanes AES-256-GCM", "Fernet", "bare AESGCM call", "norvanes XChaCha20-Poly1305",
           "bare ChaCha20Poly1305 call", "AESGCM glue", "PyNaCl XChaCha glue")
COLUMN_TITLES = {"norvanes AES-256-GCM": "norvanes AES", "Fernet": "Fernet", "bare AESGCM call": "bare `AESGCM` call",
                 "norvanes XChaCha20-Poly1305": "norvanes XChaCha",
                 "bare ChaCha20Poly1305 call": "bare `ChaCha20Poly1305` call"}

AES, XC = "norvanes AES-256-GCM", "norvanes XChaCha20-Poly1305"
# (label, numerator, denominator, payload, op, floor): every ratio is "at most the floor".
TARGETS = [
    ("AES-256-GCM ÷ Fernet", AES, "Fernet", 64, "mint", 0.30),
    ("AES-256-GCM ÷ Fernet", AES, "Fernet", 64, "open", 0.30),
    ("AES-256-GCM ÷ Fernet", AES, "Fernet", 1024, "mint", 0.30),
    ("AES-256-GCM ÷ Fernet", AES, "Fernet", 1024, "open", 0.30),
    ("AES-256-GCM token ÷ bare `AESGCM` call", AES, "bare AESGCM call", 64, "mint", 1.0),
    ("AES-256-GCM token ÷ bare `AESGCM` call", AES, "bare AESGCM call", 64, "open", 0.7),
    ("AES-256-GCM token ÷ bare `AESGCM` call", AES, "bare AESGCM call", 16384, "mint", 3.0),
    ("AES-256-GCM token ÷ bare `AESGCM` call", AES, "bare AESGCM call", 16384, "open", 3.0),
    ("XChaCha20-Poly1305 ÷ bare `ChaCha20Poly1305` call", XC, "bare ChaCha20Poly1305 call", 1024, "mint", 2.0),
    ("XChaCha20-Poly1305 ÷ bare `ChaCha20Poly1305` call", XC, "bare ChaCha20Poly1305 call", 1024, "open", 2.0),
    ("XChaCha20-Poly1305 ÷ bare `ChaCha20Poly1305` call", XC, "bare ChaCha20Poly1305 call", 16384, "mint", 3.0),
    ("XChaCha20-Poly1305 ÷ bare `ChaCha20Poly1305` call", XC, "bare ChaCha20Poly1305 call", 16384, "open", 3.0),
    ("XChaCha20-Poly1305 ÷ PyNaCl XChaCha glue", XC, "PyNaCl XChaCha glue", 64, "mint", 0.20),
    ("XChaCha20-Poly1305 ÷ PyNaCl XChaCha glue", XC, "PyNaCl XChaCha glue", 64, "open", 0.10),
]
RSS_LIMIT = 1 << 20  # under one byte per cycle at 10**6 cycles

# The first targets, against the same token made in Python around the peer's AEAD.
GLUE_RATIOS = [
    ("AES norvanes ÷ AESGCM glue", AES, "AESGCM glue", 64, "mint", 0.35),
    ("AES norvanes ÷ AESGCM glue", AES, "AESGCM glue", 64, "open", 0.15),
    ("AES norvanes ÷ AESGCM glue", AES, "AESGCM glue", 1024, "mint", 0.30),
    ("AES norvanes ÷ AESGCM glue", AES, "AESGCM glue", 1024, "open", 0.15),
    ("AES norvanes ÷ AESGCM glue", AES, "AESGCM glue", 16384, "mint", 0.35),
    ("AES norvanes ÷ AESGCM glue", AES, "AESGCM glue", 16384, "open", 0.20),
    ("XChaCha norvanes ÷ PyNaCl glue", XC, "PyNaCl XChaCha glue", 1024, "mint", None),
    ("XChaCha norvanes ÷ PyNaCl glue", XC, "PyNaCl XChaCha glue", 1024, "open", None),
    ("XChaCha norvanes ÷ PyNaCl glue", XC, "PyNaCl XChaCha glue", 16384, "mint", 0.90),
    ("XChaCha norvanes ÷ PyNaCl glue", XC, "PyNaCl XChaCha glue", 16384, "open", 0.50),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smoke run: few iterations, 2,000 RSS cycles")
    ap.add_argument("--repeat", type=int, default=None, help="timed repeats per case (default 9, quick 3)")
    ap.add_argument("--min-time", type=float, default=0.2,
                    help="seconds one repeat of a case lasts at least (auto-ranged number; default 0.2)")
    ap.add_argument("--cycles", type=int, default=None, help="mint+open cycles of the RSS check (default 10**6)")
    ap.add_argument("--core-seal-ns", type=float, default=None,
                    help="the C++ core benchmark's BM_AesSeal/64 CPU time in ns, for the syscall-floor ratio "
                         "(bench/run --core measures and passes it)")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="cpu: this process's CPU time (user + system; time.process_time), which leaves out the "
                         "time other processes hold the core on a shared machine; wall: time.perf_counter")
    ap.add_argument("--peers-only", action="store_true", help="run without norvanes (developing the bench)")
    args = ap.parse_args()
    repeat = args.repeat or (3 if args.quick else 9)
    cycles = args.cycles if args.cycles is not None else (2_000 if args.quick else 10**6)
    fixed = 100 if args.quick else 0

    norvanes, err = load_norvanes()
    if norvanes is None and not args.peers_only:
        raise SystemExit(f"bench: cannot import norvanes ({err}); build it (bench/run) or set NORVANES_PATH")

    impls = {}
    nv_aes = nv_xc = None
    aes, nacl = aesgcm_glue(), nacl_glue()
    if norvanes is not None:
        nv_aes = norvanes.Norvane(norvanes.Backend.AES256_GCM, key=KEY)
        nv_xc = norvanes.Norvane(norvanes.Backend.XCHACHA20_POLY1305, key=KEY)
        impls[AES] = (nv_aes.encrypt, nv_aes.decrypt)
    impls["Fernet"] = fernet()
    impls["bare AESGCM call"] = bare_aesgcm()
    if nv_xc is not None:
        impls[XC] = (nv_xc.encrypt, nv_xc.decrypt)
    impls["bare ChaCha20Poly1305 call"] = bare_chacha()
    impls["AESGCM glue"] = aes
    impls["PyNaCl XChaCha glue"] = nacl

    notes = []
    if norvanes is not None:
        notes += cross_check(nv_aes, nv_xc, aes, nacl)
    mach = machine(norvanes)

    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    cases = build_cases(impls, clock)
    started = time.perf_counter()
    print(f"bench: calibrating {len(cases)} cases ...", file=sys.stderr, flush=True)
    for c in cases:
        c.calibrate(args.min_time, fixed)
    for r in range(repeat):
        print(f"bench: round {r + 1}/{repeat}", file=sys.stderr, flush=True)
        order = cases[r % len(cases):] + cases[:r % len(cases)]
        for c in order:
            c.sample()
    med = {c.key: c.median for c in cases}
    spread = {c.key: (max(c.samples) - min(c.samples)) / c.median for c in cases}
    timing_s = time.perf_counter() - started

    rss_rows = []
    if norvanes is not None and cycles > 0:
        for label, nv in (("AES-256-GCM", nv_aes), ("XChaCha20-Poly1305", nv_xc)):
            print(f"bench: RSS check {label}, {cycles} cycles", file=sys.stderr, flush=True)
            t0 = time.perf_counter()
            res = rss_check(nv, cycles)
            rss_rows.append((label, res, time.perf_counter() - t0))

    # ---- output -----------------------------------------------------------------------------
    out = []
    out.append("### Time per operation, ns (%s time, median of %d repeats%s)" %
               ("process CPU" if args.clock == "cpu" else "wall-clock", repeat,
                ", QUICK SMOKE RUN: not a measurement" if args.quick else ""))
    out.append("")
    cols = [c for c in COLUMNS if c in impls]
    out.append("| case | " + " | ".join(COLUMN_TITLES.get(c, c) for c in cols) + " |")
    out.append("|---|" + "---:|" * len(cols))
    for n in SIZES:
        out.append(f"| {SIZE_NAMES[n]} mint / open | " +
                   " | ".join(f"{ns(med[(c, n, 'mint')])} / {ns(med[(c, n, 'open')])}" for c in cols) + " |")
    out.append("")
    out.append(f"`os.urandom(12)` alone: {ns(med[('os.urandom(12)', 12, 'floor')])} ns. The bare calls use a "
               f"fixed nonce and the 17-byte context record as associated data.")
    worst = max(spread, key=spread.get)
    out.append(f"Spread (max − min over the repeats, ÷ median): median {statistics.median(spread.values()):.1%}, "
               f"worst {spread[worst]:.1%} ({case_name(worst)}).")
    out.append("")

    if norvanes is not None:
        out.append("### Targets (ratios of medians in this run; information only)")
        out.append("")
        out.append("| ratio | payload | op | measured | floor | |")
        out.append("|---|---|---|---:|---:|---|")
        for label, a, b, n, op, target in TARGETS:
            r = med[(a, n, op)] / med[(b, n, op)]
            out.append(f"| {label} | {SIZE_NAMES[n]} | {op} | {r:.2f} | ≤ {target:.2f} | "
                       f"{'met' if r <= target else 'NOT MET'} |")
        for label, (before, mid, after, refusals, after_ref), secs in rss_rows:
            growth = max(after, after_ref) - before
            note = "" if cycles >= 10**6 else ", fewer than the target's 10⁶"
            out.append(f"| RSS growth, {label} ({cycles:,} cycles{note}) | 64 B | mint+open | "
                       f"{growth / 1024:+,.0f} KiB | ≤ 1 MiB | {'met' if growth <= RSS_LIMIT else 'NOT MET'} |")
        out.append("")

        out.append("### Against the Python glue (the first targets; same run)")
        out.append("")
        out.append("| ratio | payload | op | measured | target | |")
        out.append("|---|---|---|---:|---:|---|")
        for label, a, b, n, op, target in GLUE_RATIOS:
            r = med[(a, n, op)] / med[(b, n, op)]
            mark = "" if target is None else ("met" if r <= target else "NOT MET")
            out.append(f"| {label} | {SIZE_NAMES[n]} | {op} | {r:.3f} | "
                       f"{'—' if target is None else f'≤ {target:.2f}'} | {mark} |")
        mint64 = med[("norvanes AES-256-GCM", 64, "mint")]
        urand = med[("os.urandom(12)", 12, "floor")]
        if args.core_seal_ns is not None:
            seal, what = args.core_seal_ns * 1e-9, "core BM_AesSeal/64"
        else:
            seal, what = med[("bare AESGCM call", 64, "mint")], "bare AESGCM.encrypt 64 B (no --core-seal-ns given)"
        r = mint64 / (urand + seal)
        out.append(f"| AES mint ÷ (os.urandom(12) + {what}) | 64 B | mint | {r:.3f} | ≤ 1.30 | "
                   f"{'met' if r <= 1.3 else 'NOT MET'} |")
        out.append("")
        out.append(f"Syscall floor: norvanes 64 B mint {ns(mint64)} ns against os.urandom(12) {ns(urand)} ns "
                   f"+ {what} {ns(seal)} ns = {ns(urand + seal)} ns.")
        out.append("")

    if rss_rows:
        out.append("### Memory: RSS over mint+open cycles of 64 B (gc on; then refused opens of a modified token)")
        out.append("")
        out.append("| backend | cycles | RSS before | after half | after all | growth | "
                   "refused opens | RSS after them | |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---|")
        for label, (before, mid, after, refusals, after_ref), secs in rss_rows:
            growth = max(after, after_ref) - before
            ok = growth <= RSS_LIMIT
            out.append(f"| {label} | {cycles:,} | {before / 1024:,.0f} KiB | {mid / 1024:,.0f} KiB | "
                       f"{after / 1024:,.0f} KiB | {growth / 1024:+,.0f} KiB | {refusals:,} | "
                       f"{after_ref / 1024:,.0f} KiB | {'met' if ok else 'NOT MET'} (≤ 1 MiB) |")
        out.append("")

    out.append("### Machine")
    out.append("")
    out += mach
    cmd = os.environ.get("NORVANES_BENCH_CMD") or "python " + " ".join(sys.argv)
    out.append(f"- command: `{cmd}`, run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    out.append(f"- timing took {timing_s:.0f} s; load average at end "
               f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    if notes:
        out.append("")
        out += [f"**Warning:** {n}" for n in notes]
    print("\n".join(out))


if __name__ == "__main__":
    main()
