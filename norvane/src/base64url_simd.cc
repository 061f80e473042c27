#include "base64url_simd.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstring>

#include "primitives.h"

namespace norvane::base64url::simd {
namespace {

#define NORVANE_SSSE3 __attribute__((target("ssse3")))

// to_chars maps sixteen 6-bit values onto A-Z a-z 0-9 - _ by adding the
// offset of each range, chosen with comparison masks.
NORVANE_SSSE3 inline __m128i to_chars(__m128i v) noexcept {
    __m128i c = _mm_add_epi8(v, _mm_set1_epi8('A'));
    c = _mm_add_epi8(c, _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(25)), _mm_set1_epi8(6)));
    c = _mm_add_epi8(c, _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(51)), _mm_set1_epi8(-75)));
    c = _mm_add_epi8(c, _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(61)), _mm_set1_epi8(-13)));
    c = _mm_add_epi8(c, _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(62)), _mm_set1_epi8(49)));
    return c;
}

// in_range is all-ones in each lane where lo <= c <= hi. Characters from
// 0x80 up are negative as signed bytes and so never in range.
NORVANE_SSSE3 inline __m128i in_range(__m128i c, char lo, char hi) noexcept {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

}  // namespace

bool available() noexcept {
    static const bool ssse3 = __builtin_cpu_supports("ssse3") && !software_forced();
    return ssse3;
}

NORVANE_SSSE3 std::size_t encode_blocks(const std::uint8_t* src, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    // Bytes b0 b1 b2 of each group go to one 32-bit lane as b1 b0 b2 b1, so
    // that two multiplications move each 6-bit field into its own byte.
    const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
    for (; i + 16 <= n; i += 12) {
        __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        in = _mm_shuffle_epi8(in, spread);
        const __m128i hi = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
        const __m128i lo = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), to_chars(_mm_or_si128(hi, lo)));
        out += 16;
    }
    return i;
}

NORVANE_SSSE3 std::size_t decode_blocks(const std::uint8_t* text, std::size_t n, std::uint8_t* out,
                                        std::uint8_t& bad) noexcept {
    std::size_t i = 0;
    __m128i invalid = _mm_setzero_si128();
    const __m128i gather = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    for (; i + 16 <= n; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i upper = in_range(c, 'A', 'Z');
        const __m128i lower = in_range(c, 'a', 'z');
        const __m128i digit = in_range(c, '0', '9');
        const __m128i dash = _mm_cmpeq_epi8(c, _mm_set1_epi8('-'));
        const __m128i under = _mm_cmpeq_epi8(c, _mm_set1_epi8('_'));
        __m128i v = _mm_and_si128(upper, _mm_sub_epi8(c, _mm_set1_epi8('A')));
        v = _mm_or_si128(v, _mm_and_si128(lower, _mm_sub_epi8(c, _mm_set1_epi8('a' - 26))));
        v = _mm_or_si128(v, _mm_and_si128(digit, _mm_add_epi8(c, _mm_set1_epi8(52 - '0'))));
        v = _mm_or_si128(v, _mm_and_si128(dash, _mm_set1_epi8(62)));
        v = _mm_or_si128(v, _mm_and_si128(under, _mm_set1_epi8(63)));
        const __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(dash, under)));
        invalid = _mm_or_si128(invalid, _mm_andnot_si128(valid, _mm_set1_epi8(static_cast<char>(0x80))));
        // Join 6-bit values pairwise into 12 bits, then pairs into 24 bits,
        // and pick the three bytes of each 32-bit lane in order.
        const __m128i pairs = _mm_maddubs_epi16(v, _mm_set1_epi32(0x01400140));
        const __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        const __m128i bytes = _mm_shuffle_epi8(words, gather);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        const std::uint32_t last = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
        std::memcpy(out + 8, &last, 4);
        out += 12;
    }
    // Fold the lanes' flags into one byte without looking at them one by one.
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 8));
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 4));
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 2));
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 1));
    bad = static_cast<std::uint8_t>(bad | static_cast<std::uint8_t>(_mm_cvtsi128_si32(invalid)));
    return i;
}

}  // namespace norvane::base64url::simd

#else

namespace norvane::base64url::simd {

bool available() noexcept { return false; }
std::size_t encode_blocks(const std::uint8_t*, std::size_t, std::uint8_t*) noexcept { return 0; }
std::size_t decode_blocks(const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t&) noexcept { return 0; }

}  // namespace norvane::base64url::simd

#endif
