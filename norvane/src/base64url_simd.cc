#include "base64url_simd.h"

#include "primitives.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <atomic>
#include <cstring>

#include "platform.h"

namespace norvane::base64url {
namespace {

#define NORVANE_SSSE3 __attribute__((target("ssse3")))
#define NORVANE_AVX2 __attribute__((target("avx2")))

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

// The same for thirty-two values.
NORVANE_AVX2 inline __m256i to_chars(__m256i v) noexcept {
    __m256i c = _mm256_add_epi8(v, _mm256_set1_epi8('A'));
    c = _mm256_add_epi8(c, _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(25)), _mm256_set1_epi8(6)));
    c = _mm256_add_epi8(c, _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(51)), _mm256_set1_epi8(-75)));
    c = _mm256_add_epi8(c, _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(61)), _mm256_set1_epi8(-13)));
    c = _mm256_add_epi8(c, _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(62)), _mm256_set1_epi8(49)));
    return c;
}

// in_range is all-ones in each lane where lo <= c <= hi. Characters from
// 0x80 up are negative as signed bytes and so never in range.
NORVANE_SSSE3 inline __m128i in_range(__m128i c, char lo, char hi) noexcept {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

NORVANE_AVX2 inline __m256i in_range(__m256i c, char lo, char hi) noexcept {
    return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

// from_chars maps characters to 6-bit values by adding the offset of the
// range each one is in, chosen with comparison masks. Every range has a
// non-zero offset, so a zero offset marks a character outside the alphabet:
// those lanes become all-ones in `invalid`.
NORVANE_SSSE3 inline __m128i from_chars(__m128i c, __m128i& invalid) noexcept {
    __m128i off = _mm_and_si128(in_range(c, 'A', 'Z'), _mm_set1_epi8(-'A'));
    off = _mm_or_si128(off, _mm_and_si128(in_range(c, 'a', 'z'), _mm_set1_epi8(26 - 'a')));
    off = _mm_or_si128(off, _mm_and_si128(in_range(c, '0', '9'), _mm_set1_epi8(52 - '0')));
    off = _mm_or_si128(off, _mm_and_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('-')), _mm_set1_epi8(62 - '-')));
    off = _mm_or_si128(off, _mm_and_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('_')), _mm_set1_epi8(63 - '_')));
    invalid = _mm_or_si128(invalid, _mm_cmpeq_epi8(off, _mm_setzero_si128()));
    return _mm_add_epi8(c, off);
}

NORVANE_AVX2 inline __m256i from_chars(__m256i c, __m256i& invalid) noexcept {
    __m256i off = _mm256_and_si256(in_range(c, 'A', 'Z'), _mm256_set1_epi8(-'A'));
    off = _mm256_or_si256(off, _mm256_and_si256(in_range(c, 'a', 'z'), _mm256_set1_epi8(26 - 'a')));
    off = _mm256_or_si256(off, _mm256_and_si256(in_range(c, '0', '9'), _mm256_set1_epi8(52 - '0')));
    off = _mm256_or_si256(off,
                          _mm256_and_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('-')), _mm256_set1_epi8(62 - '-')));
    off = _mm256_or_si256(off,
                          _mm256_and_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('_')), _mm256_set1_epi8(63 - '_')));
    invalid = _mm256_or_si256(invalid, _mm256_cmpeq_epi8(off, _mm256_setzero_si256()));
    return _mm256_add_epi8(c, off);
}

// fold ORs the lanes' flags into one byte without looking at them one by
// one, and keeps its top bit.
NORVANE_SSSE3 inline std::uint8_t fold(__m128i invalid) noexcept {
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 8));
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 4));
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 2));
    invalid = _mm_or_si128(invalid, _mm_srli_si128(invalid, 1));
    return static_cast<std::uint8_t>(_mm_cvtsi128_si32(invalid) & 0x80);
}

}  // namespace

namespace simd {

NORVANE_SSSE3 std::size_t encode_blocks_ssse3(const std::uint8_t* src, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    // Bytes b0 b1 b2 of each group go to one 32-bit lane as b1 b0 b2 b1, so
    // that two multiplications move each 6-bit field into its own byte.
    const __m128i spread = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
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

NORVANE_AVX2 std::size_t encode_blocks_avx2(const std::uint8_t* src, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    // As above in each 128-bit half: bytes 0-11 of the block in the low
    // half, bytes 12-23 in the high half (two loads, 28 bytes read).
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    for (; i + 28 <= n; i += 24) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 12));
        __m256i in = _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
        in = _mm256_shuffle_epi8(in, spread);
        const __m256i hi =
            _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
        const __m256i lo =
            _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), to_chars(_mm256_or_si256(hi, lo)));
        out += 32;
    }
    return i;
}

NORVANE_SSSE3 std::size_t decode_blocks_ssse3(const std::uint8_t* text, std::size_t n, std::uint8_t* out,
                                              std::uint8_t& bad) noexcept {
    std::size_t i = 0;
    __m128i invalid = _mm_setzero_si128();
    const __m128i gather = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    for (; i + 16 <= n; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i v = from_chars(c, invalid);
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
    bad = static_cast<std::uint8_t>(bad | fold(invalid));
    return i;
}

NORVANE_AVX2 std::size_t decode_blocks_avx2(const std::uint8_t* text, std::size_t n, std::uint8_t* out,
                                            std::uint8_t& bad) noexcept {
    std::size_t i = 0;
    __m256i invalid = _mm256_setzero_si256();
    const __m256i gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                            2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    // The twelve bytes of each half are 32-bit words 0-2 and 4-6; move them
    // together into words 0-5.
    const __m256i pack = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    for (; i + 32 <= n; i += 32) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        const __m256i v = from_chars(c, invalid);
        const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
        const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, gather), pack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
        out += 24;
    }
    const __m128i halves = _mm_or_si128(_mm256_castsi256_si128(invalid), _mm256_extracti128_si256(invalid, 1));
    bad = static_cast<std::uint8_t>(bad | fold(halves));
    return i;
}

}  // namespace simd

namespace {
constexpr int kNotRead = -1;
constexpr int kSsse3 = 1;
constexpr int kAvx2 = 2;
}  // namespace

bool cpu_runs(Kernel k) noexcept {
    // Read once without a lock: threads that race store the same answer,
    // and a child forked meanwhile reads again.
    static constinit std::atomic<int> known{kNotRead};
    int bits = known.load(std::memory_order_relaxed);
    if (bits == kNotRead) {
        const platform::X86Features cpu = platform::x86_features();
        bits = (cpu.ssse3 ? kSsse3 : 0) | (cpu.avx2 ? kAvx2 : 0);
        known.store(bits, std::memory_order_relaxed);
    }
    switch (k) {
        case Kernel::Scalar: return true;
        case Kernel::Ssse3: return (bits & kSsse3) != 0;
        // What AVX2 leaves over goes to SSSE3.
        case Kernel::Avx2: return (bits & (kAvx2 | kSsse3)) == (kAvx2 | kSsse3);
    }
    return false;
}

}  // namespace norvane::base64url

#else

namespace norvane::base64url {
namespace simd {

std::size_t encode_blocks_ssse3(const std::uint8_t*, std::size_t, std::uint8_t*) noexcept { return 0; }
std::size_t encode_blocks_avx2(const std::uint8_t*, std::size_t, std::uint8_t*) noexcept { return 0; }
std::size_t decode_blocks_ssse3(const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t&) noexcept { return 0; }
std::size_t decode_blocks_avx2(const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t&) noexcept { return 0; }

}  // namespace simd

bool cpu_runs(Kernel k) noexcept { return k == Kernel::Scalar; }

}  // namespace norvane::base64url

#endif

namespace norvane::base64url {

const char* kernel_name(Kernel k) noexcept {
    switch (k) {
        case Kernel::Scalar: return "scalar";
        case Kernel::Ssse3: return "ssse3";
        case Kernel::Avx2: return "avx2";
    }
    return "unknown";
}

Kernel chosen_kernel() noexcept {
    static const Kernel chosen = [] {
        if (software_forced()) {
            return Kernel::Scalar;
        }
        for (const Kernel k : {Kernel::Avx2, Kernel::Ssse3}) {
            if (cpu_runs(k)) {
                return k;
            }
        }
        return Kernel::Scalar;
    }();
    return chosen;
}

}  // namespace norvane::base64url
