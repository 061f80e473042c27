#include "platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <atomic>
#include <cstdio>
#include <ctime>

namespace norvane::platform {

#if defined(__GLIBC__) && (__GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 25))
#define NORVANE_HAVE_EXPLICIT_BZERO 0
#else
#define NORVANE_HAVE_EXPLICIT_BZERO 1
#endif

void wipe(void* p, std::size_t n) noexcept {
    if (p == nullptr || n == 0) {
        return;
    }
#if NORVANE_HAVE_EXPLICIT_BZERO
    explicit_bzero(p, n);
#else
    memset(p, 0, n);
    // The barrier claims to read the memory behind p, so the zeros must be
    // written before it: the stores cannot be dropped as dead.
    __asm__ __volatile__("" : : "r"(p) : "memory");
#endif
}

long getrandom_syscall(void* buf, std::size_t len, unsigned int flags) noexcept {
    return syscall(SYS_getrandom, buf, len, flags);
}

GetrandomFunction libc_getrandom_with_vdso() noexcept {
#if defined(__GLIBC__)
    unsigned major = 0, minor = 0;
    if (std::sscanf(gnu_get_libc_version(), "%u.%u", &major, &minor) != 2 ||
        !(major > 2 || (major == 2 && minor >= 41))) {
        return nullptr;
    }
    return reinterpret_cast<GetrandomFunction>(dlsym(RTLD_DEFAULT, "getrandom"));
#else
    return nullptr;
#endif
}

namespace {

// The C library's clock_gettime, with seconds as wide as its time_t.
bool read_with_clock_gettime(std::int64_t& seconds, std::int64_t& nanoseconds) noexcept {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return false;
    }
    seconds = now.tv_sec;
    nanoseconds = now.tv_nsec;
    return true;
}

#if defined(__GLIBC__)
// glibc's struct __timespec64 on 32-bit targets: 64-bit seconds, then the
// nanoseconds as a 32-bit field padded to 64 bits (the padding first on
// big-endian machines). glibc may leave the padding unwritten.
struct GlibcTimespec64 {
    std::int64_t tv_sec;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    std::int32_t padding;
    std::int32_t tv_nsec;
#else
    std::int32_t tv_nsec;
    std::int32_t padding;
#endif
};
using ClockGettime64 = int (*)(clockid_t, GlibcTimespec64*);
// No function lies at address 1.
constexpr std::uintptr_t kNotLookedUp = 1;
#endif

}  // namespace

bool read_realtime_clock(std::int64_t& seconds, std::int64_t& nanoseconds) noexcept {
    if constexpr (sizeof(time_t) >= sizeof(std::int64_t)) {
        return read_with_clock_gettime(seconds, nanoseconds);
    } else {
#if defined(__GLIBC__)
        // The same function a program built with 64-bit time_t calls as
        // clock_gettime (glibc 2.34 and later, through the vDSO where the
        // kernel has one); an interposed definition (a preloaded library) is
        // found before glibc's. Looked up on first use without a lock:
        // threads that race both store the same answer, and a child forked
        // meanwhile looks again.
        static constinit std::atomic<std::uintptr_t> found{kNotLookedUp};
        std::uintptr_t address = found.load(std::memory_order_acquire);
        if (address == kNotLookedUp) {
            address = reinterpret_cast<std::uintptr_t>(dlsym(RTLD_DEFAULT, "__clock_gettime64"));
            found.store(address, std::memory_order_release);
        }
        if (address != 0) {
            const auto clock_gettime64 = reinterpret_cast<ClockGettime64>(address);
            GlibcTimespec64 now{};
            if (clock_gettime64(CLOCK_REALTIME, &now) != 0) {
                return false;
            }
            seconds = now.tv_sec;
            nanoseconds = now.tv_nsec;
            return true;
        }
#endif
        return read_with_clock_gettime(seconds, nanoseconds);
    }
}

X86Features x86_features() noexcept {
    X86Features features;
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    features.ssse3 = (ecx & bit_SSSE3) != 0;
    const bool os_saves_registers = (ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0;
    if (os_saves_registers && __get_cpuid_max(0, nullptr) >= 7) {
        // XGETBV with ECX = 0 reads XCR0: bit 1 the XMM state, bit 2 the
        // YMM state, both saved across context switches.
        unsigned xcr0 = 0, xcr0_high = 0;
        __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        features.avx2 = (ebx & bit_AVX2) != 0 && (xcr0 & 0x6u) == 0x6u;
    }
#endif
    return features;
}

namespace {

struct StackRange {
    std::uintptr_t lo = 0, hi = 0;
    bool looked = false;
    bool contains(std::uintptr_t sp) const noexcept { return sp >= lo && sp < hi; }
};
constinit thread_local StackRange t_stack;

StackRange thread_stack() noexcept {
    StackRange r;
    r.looked = true;
    // A process's first thread is left unbounded: the kernel grows its stack
    // on demand, so a scrub below what is mapped so far stays on it, and
    // what the C library does to find that stack's bounds is costly (glibc
    // reads /proc/self/maps) or, under user-mode emulation, endless (musl
    // probes downwards with mremap until a call fails with anything but
    // ENOMEM, which qemu-user never returns there).
    if (syscall(SYS_gettid) == static_cast<long>(getpid())) {
        return r;
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return r;
    }
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        r.lo = reinterpret_cast<std::uintptr_t>(addr);
        r.hi = r.lo + size;
    }
    pthread_attr_destroy(&attr);
    return r;
}

}  // namespace

std::uintptr_t stack_floor(std::uintptr_t sp) noexcept {
    StackRange& mine = t_stack;
    if (!mine.looked) {
        mine = thread_stack();
    }
    if (mine.contains(sp)) {
        return mine.lo;
    }
    stack_t alt{};
    if (sigaltstack(nullptr, &alt) == 0 && (alt.ss_flags & SS_ONSTACK) != 0) {
        const auto lo = reinterpret_cast<std::uintptr_t>(alt.ss_sp);
        if (sp >= lo && sp - lo < alt.ss_size) {
            return lo;
        }
    }
    return 0;
}

#if defined(__x86_64__) || defined(__i386__)
const VdsoSymbol VDSO_GETRANDOM{"__vdso_getrandom", "LINUX_2.6"};
#elif defined(__aarch64__)
const VdsoSymbol VDSO_GETRANDOM{"__kernel_getrandom", "LINUX_2.6.39"};
#else
const VdsoSymbol VDSO_GETRANDOM{nullptr, nullptr};
#endif

}  // namespace norvane::platform
