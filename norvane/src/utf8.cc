#include "norvane/utf8.h"

#include <cstring>

namespace norvane {

namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;

// high_bits_of_32 ORs 32 bytes together, as four words the compiler keeps in
// one vector register where it has them.
inline std::uint64_t high_bits_of_32(const std::uint8_t* s) noexcept {
    std::uint64_t w[4];
    std::memcpy(w, s, sizeof w);
    return (w[0] | w[1] | w[2] | w[3]) & HIGH_BITS;
}

}  // namespace

bool is_ascii(ByteView bytes) noexcept {
    const std::uint8_t* s = bytes.data();
    const std::size_t n = bytes.size();
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        high |= high_bits_of_32(s + i);
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        high |= w;
    }
    for (; i < n; ++i) {
        high |= s[i];
    }
    return (high & HIGH_BITS) == 0;
}

std::optional<Utf8Error> check_utf8(ByteView bytes) noexcept {
    const std::uint8_t* s = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Most tokens carry ASCII: skip it 32, then eight bytes at a time.
        while (i + 32 <= n && high_bits_of_32(s + i) == 0) {
            i += 32;
        }
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if ((w & HIGH_BITS) != 0) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        const std::uint8_t b0 = s[i];
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t width;
        std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            width = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            width = 3;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            width = 4;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            return Utf8Error{i, 1};
        }
        for (std::size_t k = 1; k < width; ++k) {
            if (i + k >= n) {
                return Utf8Error{i, 0};
            }
            const std::uint8_t b = s[i + k];
            const std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (b < l || b > h) {
                return Utf8Error{i, static_cast<std::uint8_t>(k)};
            }
        }
        i += width;
    }
    return std::nullopt;
}

}  // namespace norvane
