// platform.h - what differs between C libraries, kernels and CPUs, kept in
// one place so that the rest of the core is written once.
//
// The core runs on glibc from 2.17 on and on musl, on x86_64, aarch64 and
// 32-bit ARM. Older glibc headers declare neither getrandom() nor
// explicit_bzero(), musl has no dlvsym(), and only some kernels and
// architectures offer getrandom in the vDSO; the functions here hide which.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace norvane::platform {

// wipe overwrites n bytes with zeros by writes the compiler may not drop:
// explicit_bzero() where the C library declares it, else memset() followed
// by a compiler barrier that makes the zeroed bytes observable.
void wipe(void* p, std::size_t n) noexcept;

// getrandom_syscall makes the getrandom system call: the number of bytes
// written, or -1 with errno set. It needs no declaration from the C library.
long getrandom_syscall(void* buf, std::size_t len, unsigned int flags) noexcept;

using GetrandomFunction = ssize_t (*)(void* buf, std::size_t len, unsigned int flags);

// libc_getrandom_with_vdso is the C library's getrandom() where that goes
// through the kernel's vDSO itself (glibc 2.41 and later), found at run
// time, so that a module built against older headers uses it too; null
// elsewhere.
GetrandomFunction libc_getrandom_with_vdso() noexcept;

// The name and version under which this architecture's vDSO offers
// getrandom; null names where it offers none (32-bit ARM among them).
struct VdsoSymbol {
    const char* name;
    const char* version;
};
extern const VdsoSymbol VDSO_GETRANDOM;

// vdso_symbol looks a symbol of the given version up in the kernel's vDSO,
// found through the auxiliary vector (AT_SYSINFO_EHDR) and read as the ELF
// object it is, with no help from the dynamic loader: musl has no dlvsym,
// and not every loader lists the vDSO. Null when the process has no vDSO or
// the vDSO has no such symbol.
void* vdso_symbol(const VdsoSymbol& symbol) noexcept;

// read_realtime_clock reads CLOCK_REALTIME into whole seconds (64 bits
// wide on every platform) and nanoseconds; false, with errno set, when the
// clock cannot be read. Where time_t has 32 bits (glibc on 32-bit ARM built
// against headers before 2.34, as the manylinux wheels are) it calls
// glibc's __clock_gettime64, found at run time, and falls back to the
// 32-bit clock_gettime only on a C library without it.
bool read_realtime_clock(std::int64_t& seconds, std::int64_t& nanoseconds) noexcept;

// The x86 instruction sets the base64url kernels use, as the CPU reports
// them through CPUID; AVX2 only where the operating system also saves the
// YMM registers (XCR0). Read here rather than with __builtin_cpu_supports,
// whose answer depends on the compiler's run-time library: Zig's, which
// builds the wheels, answers no to everything. Both false off x86.
struct X86Features {
    bool ssse3 = false;
    bool avx2 = false;
};
X86Features x86_features() noexcept;

// stack_floor is the lowest address of the stack that `sp` lies on, as far
// as the core can tell: the calling thread's own stack (read once per
// thread with pthread_getattr_np; such a stack does not grow) or the
// alternate signal stack it runs on. 0 when `sp` is on neither (a stack the
// program made and switched to itself), on the process's first thread
// (whose stack the kernel grows on demand), or the bounds cannot be read.
std::uintptr_t stack_floor(std::uintptr_t sp) noexcept;

}  // namespace norvane::platform
