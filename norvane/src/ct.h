// ct.h - constant-time helpers. Secret comparisons go only through these.
#pragma once

#include <cstddef>
#include <cstdint>

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
