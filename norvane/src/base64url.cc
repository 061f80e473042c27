#include "norvane/base64url.h"

#include <cstdint>

#include "ct.h"

namespace norvane::base64url {
namespace {

// Branch-free comparisons on values below 256: each yields 0xFF when true
// and 0 when false.
inline std::uint32_t gt(std::uint32_t x, std::uint32_t y) noexcept { return ((y - x) >> 8) & 0xFF; }
inline std::uint32_t lt(std::uint32_t x, std::uint32_t y) noexcept { return gt(y, x); }
inline std::uint32_t ge(std::uint32_t x, std::uint32_t y) noexcept { return gt(y, x) ^ 0xFF; }
inline std::uint32_t le(std::uint32_t x, std::uint32_t y) noexcept { return ge(y, x); }
inline std::uint32_t eq(std::uint32_t x, std::uint32_t y) noexcept {
    return (((0U - (x ^ y)) >> 8) & 0xFF) ^ 0xFF;
}

// to_char maps a 6-bit value onto A-Z a-z 0-9 - _.
inline char to_char(std::uint32_t v) noexcept {
    std::uint32_t c = (lt(v, 26) & (v + 'A')) | (ge(v, 26) & lt(v, 52) & (v + ('a' - 26))) |
                      (ge(v, 52) & lt(v, 62) & (v + ('0' - 52))) | (eq(v, 62) & '-') | (eq(v, 63) & '_');
    return static_cast<char>(c);
}

// from_char maps a character back to its 6-bit value, or to 0xFF for any
// character outside the alphabet ('=' included).
inline std::uint32_t from_char(std::uint8_t ch) noexcept {
    const std::uint32_t c = ch;
    std::uint32_t v = (ge(c, 'A') & le(c, 'Z') & (c - 'A')) | (ge(c, 'a') & le(c, 'z') & (c - ('a' - 26))) |
                      (ge(c, '0') & le(c, '9') & (c - ('0' - 52))) | (eq(c, '-') & 62) | (eq(c, '_') & 63);
    // 'A' maps to 0 like an invalid character would before this line.
    return v | (eq(v, 0) & (eq(c, 'A') ^ 0xFF));
}

}  // namespace

char* encode(ByteView src, char* out) noexcept {
    const std::uint8_t* s = src.data();
    std::size_t n = src.size();
    std::size_t full = n / 3 * 3;
    for (std::size_t i = 0; i < full; i += 3) {
        const std::uint32_t w = static_cast<std::uint32_t>(s[i]) << 16 | static_cast<std::uint32_t>(s[i + 1]) << 8 | s[i + 2];
        out[0] = to_char(w >> 18);
        out[1] = to_char((w >> 12) & 63);
        out[2] = to_char((w >> 6) & 63);
        out[3] = to_char(w & 63);
        out += 4;
    }
    // The length, not the data, decides the padding.
    switch (n - full) {
        case 1: {
            const std::uint32_t w = static_cast<std::uint32_t>(s[full]) << 16;
            out[0] = to_char(w >> 18);
            out[1] = to_char((w >> 12) & 63);
            out[2] = '=';
            out[3] = '=';
            out += 4;
            break;
        }
        case 2: {
            const std::uint32_t w = static_cast<std::uint32_t>(s[full]) << 16 | static_cast<std::uint32_t>(s[full + 1]) << 8;
            out[0] = to_char(w >> 18);
            out[1] = to_char((w >> 12) & 63);
            out[2] = to_char((w >> 6) & 63);
            out[3] = '=';
            out += 4;
            break;
        }
        default:
            break;
    }
    return out;
}

std::optional<std::size_t> decode_into(std::string_view text, std::uint8_t* out) noexcept {
    const std::size_t n = text.size();
    if (n % 4 != 0) {
        return std::nullopt;
    }
    if (n == 0) {
        return std::size_t{0};
    }
    const auto* t = reinterpret_cast<const std::uint8_t*>(text.data());
    // Padding sits at the end of the field only; which characters are '='
    // is public (it follows from the length of the data).
    const std::size_t pad = t[n - 1] == '=' ? (t[n - 2] == '=' ? 2 : 1) : 0;
    const std::size_t body = n - 4;  // characters in full groups before the last
    std::uint32_t bad = 0;
    std::uint8_t* o = out;
    for (std::size_t i = 0; i < body; i += 4) {
        const std::uint32_t a = from_char(t[i]), b = from_char(t[i + 1]), c = from_char(t[i + 2]),
                            d = from_char(t[i + 3]);
        bad |= a | b | c | d;
        const std::uint32_t w = a << 18 | b << 12 | c << 6 | d;
        o[0] = static_cast<std::uint8_t>(w >> 16);
        o[1] = static_cast<std::uint8_t>(w >> 8);
        o[2] = static_cast<std::uint8_t>(w);
        o += 3;
    }
    const std::uint8_t* last = t + body;
    const std::uint32_t a = from_char(last[0]), b = from_char(last[1]);
    bad |= a | b;
    if (pad == 0) {
        const std::uint32_t c = from_char(last[2]), d = from_char(last[3]);
        bad |= c | d;
        const std::uint32_t w = a << 18 | b << 12 | c << 6 | d;
        o[0] = static_cast<std::uint8_t>(w >> 16);
        o[1] = static_cast<std::uint8_t>(w >> 8);
        o[2] = static_cast<std::uint8_t>(w);
        o += 3;
    } else if (pad == 1) {
        const std::uint32_t c = from_char(last[2]);
        bad |= c;
        bad |= (c & 0x03) << 6;  // bits that carry no byte must be zero
        const std::uint32_t w = a << 18 | b << 12 | c << 6;
        o[0] = static_cast<std::uint8_t>(w >> 16);
        o[1] = static_cast<std::uint8_t>(w >> 8);
        o += 2;
    } else {
        bad |= (b & 0x0F) << 6;
        const std::uint32_t w = a << 18 | b << 12;
        o[0] = static_cast<std::uint8_t>(w >> 16);
        o += 1;
    }
    // Valid 6-bit values never set bit 6 or above; 0xFF marks a bad character.
    bad = ct::value_barrier(bad);
    if ((bad & ~std::uint32_t{0x3F}) != 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(o - out);
}

std::optional<Bytes> decode(std::string_view text) {
    Bytes out(decoded_capacity(text.size()));
    auto n = decode_into(text, out.data());
    if (!n) {
        return std::nullopt;
    }
    out.resize(*n);
    return out;
}

}  // namespace norvane::base64url
