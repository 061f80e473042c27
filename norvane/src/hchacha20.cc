#include "hchacha20.h"

#include <cstddef>

#include "norvane/bytes.h"

namespace norvane {
namespace {

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t rotl(std::uint32_t v, int n) noexcept { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) noexcept {
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

void hchacha20(const std::uint8_t key[32], const std::uint8_t nonce16[16], std::uint8_t out[32]) noexcept {
    std::uint32_t x[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) {
        x[4 + i] = load_le32(key + 4 * i);
    }
    for (int i = 0; i < 4; ++i) {
        x[12 + i] = load_le32(nonce16 + 4 * i);
    }
    for (int round = 0; round < 10; ++round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 4; ++i) {
        store_le32(out + 4 * i, x[i]);
        store_le32(out + 16 + 4 * i, x[12 + i]);
    }
    secure_wipe(x, sizeof x);
}

}  // namespace norvane
