#include "ct.h"

namespace norvane::ct {

bool equal16(const std::uint8_t* a, const std::uint8_t* b) noexcept {
    std::uint32_t diff = 0;
    for (int i = 0; i < 16; ++i) {
        diff |= static_cast<std::uint32_t>(a[i] ^ b[i]);
    }
    diff = value_barrier(diff);
    // diff is 0..255: diff - 1 has its top bit set exactly when diff is 0.
    return ((diff - 1) >> 31) != 0;
}

}  // namespace norvane::ct
