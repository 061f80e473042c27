// ct.h - constant-time helpers, and the marks that let valgrind check them.
//
// Secret comparisons go only through these helpers.
//
// Built with NORVANE_CONSTTIME_VALGRIND, CONSTTIME_SECRET(p, n) tells
// memcheck that n bytes at p are undefined, so that every branch, memory
// index or system-call argument computed from them is reported; and
// CONSTTIME_DECLASSIFY(p, n) marks them defined again once a value is meant
// to be public (a tag comparison's verdict, a decoder's validity flag).
// Otherwise both expand to nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(NORVANE_CONSTTIME_VALGRIND)
#include <valgrind/memcheck.h>
#define CONSTTIME_SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define CONSTTIME_DECLASSIFY(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#else
#define CONSTTIME_SECRET(p, n) ((void)0)
#define CONSTTIME_DECLASSIFY(p, n) ((void)0)
#endif

namespace norvane::ct {

// value_barrier hides a value from the optimiser so that it cannot turn
// mask arithmetic back into branches.
inline std::uint32_t value_barrier(std::uint32_t v) noexcept {
    __asm__("" : "+r"(v));
    return v;
}

// equal16 compares two 16-byte tags. All 16 bytes are always read, and
// neither timing nor control flow depends on where or whether they differ.
bool equal16(const std::uint8_t* a, const std::uint8_t* b) noexcept;

}  // namespace norvane::ct
