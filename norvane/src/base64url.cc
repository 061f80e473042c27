#include "norvane/base64url.h"

#include <cstdint>
#include <cstring>

#include "base64url_simd.h"
#include "ct.h"

namespace norvane::base64url {
namespace {

// Every mapping below is straight-line arithmetic on one byte at a time, so
// it takes the same time for every value and the compiler can run it over
// many bytes at once.

// top_bit returns 0xFF when the byte x has its top bit set, else 0.
inline std::uint8_t top_bit(std::uint8_t x) noexcept { return static_cast<std::uint8_t>(0U - (x >> 7)); }

// to_char maps a 6-bit value onto A-Z a-z 0-9 - _. With v below 64,
// (k - v) has its top bit set exactly when v > k.
inline std::uint8_t to_char(std::uint8_t v) noexcept {
    std::uint8_t c = static_cast<std::uint8_t>(v + 'A');
    c = static_cast<std::uint8_t>(c + (top_bit(static_cast<std::uint8_t>(25 - v)) & 6));     // a-z
    c = static_cast<std::uint8_t>(c + (top_bit(static_cast<std::uint8_t>(51 - v)) & 181));   // 0-9: -75
    c = static_cast<std::uint8_t>(c + (top_bit(static_cast<std::uint8_t>(61 - v)) & 243));   // '-': -13
    c = static_cast<std::uint8_t>(c + (top_bit(static_cast<std::uint8_t>(62 - v)) & 49));    // '_'
    return c;
}

// in_range returns 0xFF when lo <= c < lo + n (n <= 128), else 0.
inline std::uint8_t in_range(std::uint8_t c, std::uint8_t lo, std::uint8_t n) noexcept {
    const std::uint16_t d = static_cast<std::uint16_t>(static_cast<std::uint8_t>(c - lo));
    return static_cast<std::uint8_t>(0U - (static_cast<std::uint16_t>(d - n) >> 15));
}

// from_char maps a character to its 6-bit value, or to 0x80 or above for
// any character outside the alphabet ('=' included).
inline std::uint8_t from_char(std::uint8_t c) noexcept {
    const std::uint8_t upper = in_range(c, 'A', 26), lower = in_range(c, 'a', 26), digit = in_range(c, '0', 10),
                       dash = in_range(c, '-', 1), under = in_range(c, '_', 1);
    const std::uint8_t v = static_cast<std::uint8_t>((upper & (c - 'A')) | (lower & (c - ('a' - 26))) |
                                                     (digit & (c + (52 - '0'))) | (dash & 62) | (under & 63));
    const std::uint8_t valid = upper | lower | digit | dash | under;
    return static_cast<std::uint8_t>(v | (~valid & 0x80));
}

// finish turns the accumulated flags of a decoded field into its result:
// valid 6-bit values and zero spare bits never set the top two bits.
std::optional<std::size_t> finish(std::uint8_t bad, const std::uint8_t* end, const std::uint8_t* out) noexcept {
    bad = static_cast<std::uint8_t>(ct::value_barrier(bad));
    // Whether a field decodes is public: opening reports it.
    CONSTTIME_DECLASSIFY(&bad, sizeof bad);
    if ((bad & 0xC0) != 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(end - out);
}

}  // namespace

char* encode_with(Kernel kernel, ByteView src, char* out) noexcept {
    const std::uint8_t* s = src.data();
    const std::size_t n = src.size();
    const std::size_t full = n / 3 * 3;
    // The block kernels take what they can (a whole number of 3-byte
    // groups); the narrower kernels and the scalar code below take the rest.
    std::size_t start = 0;
    auto* const text_begin = reinterpret_cast<std::uint8_t*>(out);
    if (kernel == Kernel::Avx2) {
        start = simd::encode_blocks_avx2(s, n, text_begin);
    }
    if (kernel == Kernel::Avx2 || kernel == Kernel::Ssse3) {
        start += simd::encode_blocks_ssse3(s + start, n - start, text_begin + start / 3 * 4);
    }
    out += start / 3 * 4;
    auto* o = reinterpret_cast<std::uint8_t*>(out);
    // First spread the bytes into 6-bit values, then map them all in place.
    for (std::size_t i = start; i < full; i += 3) {
        o[0] = static_cast<std::uint8_t>(s[i] >> 2);
        o[1] = static_cast<std::uint8_t>((s[i] & 0x03) << 4 | s[i + 1] >> 4);
        o[2] = static_cast<std::uint8_t>((s[i + 1] & 0x0F) << 2 | s[i + 2] >> 6);
        o[3] = static_cast<std::uint8_t>(s[i + 2] & 0x3F);
        o += 4;
    }
    std::size_t mapped = static_cast<std::size_t>(o - reinterpret_cast<std::uint8_t*>(out));
    // The length, not the data, decides the padding.
    if (n - full == 1) {
        o[0] = static_cast<std::uint8_t>(s[full] >> 2);
        o[1] = static_cast<std::uint8_t>((s[full] & 0x03) << 4);
        mapped += 2;
        o[2] = '=';
        o[3] = '=';
        o += 4;
    } else if (n - full == 2) {
        o[0] = static_cast<std::uint8_t>(s[full] >> 2);
        o[1] = static_cast<std::uint8_t>((s[full] & 0x03) << 4 | s[full + 1] >> 4);
        o[2] = static_cast<std::uint8_t>((s[full + 1] & 0x0F) << 2);
        mapped += 3;
        o[3] = '=';
        o += 4;
    }
    auto* text = reinterpret_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < mapped; ++i) {
        text[i] = to_char(text[i]);
    }
    return reinterpret_cast<char*>(o);
}

std::optional<std::size_t> decode_into_with(Kernel kernel, std::string_view text, std::uint8_t* out) noexcept {
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
    const std::size_t data_chars = n - pad;

    // Map the characters in blocks: first to 6-bit values (bit 7 marks a
    // character outside the alphabet), then join each four into three bytes.
    constexpr std::size_t block = 256;
    std::uint8_t vals[block];
    std::uint8_t bad = 0;
    std::uint8_t* o = out;
    std::size_t i = 0;
    if (kernel == Kernel::Avx2) {
        i = simd::decode_blocks_avx2(t, data_chars, o, bad);
    }
    if (kernel == Kernel::Avx2 || kernel == Kernel::Ssse3) {
        i += simd::decode_blocks_ssse3(t + i, data_chars - i, o + i / 4 * 3, bad);
        // The tail, shorter than a block, goes through the block kernel too,
        // on a copy filled up with 'A' (the value 0): a token's short fields
        // are mostly tail, and the scalar loop costs more than a block.
        const std::size_t rest = data_chars - i;
        if (rest > 0) {
            std::uint8_t chars[16];
            std::memset(chars, 'A', sizeof chars);
            std::memcpy(chars, t + i, rest);
            std::uint8_t bytes[16];
            simd::decode_blocks_ssse3(chars, sizeof chars, bytes, bad);
            // Two or three characters of a final group leave bits that carry
            // no byte; they sit in the byte after the last one kept, which
            // the filler leaves zero unless they are set.
            const std::size_t kept = rest / 4 * 3 + (rest % 4 == 0 ? 0 : rest % 4 - 1);
            std::memcpy(o + i / 4 * 3, bytes, kept);
            if (rest % 4 != 0) {
                bad |= static_cast<std::uint8_t>(0x80 & ((0U - bytes[kept]) >> 1));
            }
            return finish(bad, o + i / 4 * 3 + kept, out);
        }
    }
    o += i / 4 * 3;
    while (i < data_chars) {
        const std::size_t m = data_chars - i < block ? data_chars - i : block;
        for (std::size_t k = 0; k < m; ++k) {
            vals[k] = from_char(t[i + k]);
            bad |= vals[k];
        }
        const std::size_t groups = m / 4;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::uint8_t* v = vals + 4 * g;
            o[0] = static_cast<std::uint8_t>(v[0] << 2 | v[1] >> 4);
            o[1] = static_cast<std::uint8_t>(v[1] << 4 | v[2] >> 2);
            o[2] = static_cast<std::uint8_t>(v[2] << 6 | v[3]);
            o += 3;
        }
        i += m;
        if (m % 4 == 2) {  // a final group of one byte: 4 more bits must be zero
            const std::uint8_t* v = vals + 4 * groups;
            o[0] = static_cast<std::uint8_t>(v[0] << 2 | v[1] >> 4);
            o += 1;
            bad |= static_cast<std::uint8_t>(((v[1] & 0x0F) + 0x7F) & 0x80);
        } else if (m % 4 == 3) {  // a final group of two bytes: 2 more bits must be zero
            const std::uint8_t* v = vals + 4 * groups;
            o[0] = static_cast<std::uint8_t>(v[0] << 2 | v[1] >> 4);
            o[1] = static_cast<std::uint8_t>(v[1] << 4 | v[2] >> 2);
            o += 2;
            bad |= static_cast<std::uint8_t>(((v[2] & 0x03) + 0x7F) & 0x80);
        }
    }
    return finish(bad, o, out);
}

char* encode(ByteView src, char* out) noexcept { return encode_with(chosen_kernel(), src, out); }

std::optional<std::size_t> decode_into(std::string_view text, std::uint8_t* out) noexcept {
    return decode_into_with(chosen_kernel(), text, out);
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
