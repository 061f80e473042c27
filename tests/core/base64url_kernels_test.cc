// base64url_kernels_test.cc - every base64url kernel this CPU runs (scalar,
// SSSE3, AVX2) against the scalar code, called through the internal kernel
// hook, so that a CPU with AVX2 still tests the narrower kernels too.
//
// The block kernels work on 12/16 (SSSE3) and 24/32 (AVX2) bytes/characters
// and hand what is left to the next narrower kernel, and the scalar decoder
// works in blocks of 256 characters: lengths around all of these are tested,
// and a bad character is tried at every position of texts that reach all
// three kinds of code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base64url_simd.h"
#include "norvane/base64url.h"
#include "test_util.h"

namespace norvane {
namespace {

using base64url::Kernel;
using test::to_hex;

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kSentinel = 0xA5;

std::string encode_with(Kernel k, const Bytes& data) {
    // One character of slack, checked after: the kernels write exactly the
    // encoded length.
    std::string s(base64url::encoded_len(data.size()) + 1, static_cast<char>(kSentinel));
    char* end = base64url::encode_with(k, data, s.data());
    EXPECT_EQ(end, s.data() + s.size() - 1);
    EXPECT_EQ(static_cast<std::uint8_t>(s.back()), kSentinel) << "wrote past the text";
    s.pop_back();
    return s;
}

std::optional<Bytes> decode_with(Kernel k, std::string_view text) {
    const std::size_t cap = base64url::decoded_capacity(text.size());
    Bytes buf(cap + 1, kSentinel);
    const std::optional<std::size_t> n = base64url::decode_into_with(k, text, buf.data());
    EXPECT_EQ(buf[cap], kSentinel) << "wrote past the documented capacity";
    if (!n) {
        return std::nullopt;
    }
    EXPECT_LE(*n, cap);
    buf.resize(*n);
    return buf;
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// Byte lengths that put the end of the data at every offset around the
// blocks of every kernel, and the largest sealed field of a token.
std::vector<std::size_t> boundary_lengths() {
    std::set<std::size_t> lengths;
    for (std::size_t n = 0; n <= 130; ++n) lengths.insert(n);
    for (std::size_t block : {12u, 24u, 192u}) {  // bytes per SSSE3 / AVX2 / scalar block
        for (std::size_t m = 1; m <= 8; ++m) {
            for (std::size_t d = 0; d <= 8; ++d) {
                lengths.insert(block * m + d);
                if (block * m >= d) lengths.insert(block * m - d);
            }
        }
    }
    for (std::size_t n : {1000u, 4095u, 4096u, 4097u, 16383u, 16384u, 16385u, 16399u, 16400u}) lengths.insert(n);
    return {lengths.begin(), lengths.end()};
}

class Base64urlKernels : public ::testing::TestWithParam<Kernel> {
   protected:
    void SetUp() override {
        if (!base64url::cpu_runs(GetParam())) {
            GTEST_SKIP() << "this CPU does not run the " << base64url::kernel_name(GetParam()) << " kernel";
        }
    }
};

TEST_P(Base64urlKernels, EncodesAndDecodesLikeTheScalarCode) {
    const Kernel k = GetParam();
    std::mt19937 rng(11);
    for (std::size_t n : boundary_lengths()) {
        SCOPED_TRACE("length " + std::to_string(n));
        const Bytes data = random_bytes(rng, n);
        const std::string want = encode_with(Kernel::Scalar, data);
        const std::string text = encode_with(k, data);
        ASSERT_EQ(text, want);
        const std::optional<Bytes> back = decode_with(k, text);
        ASSERT_TRUE(back.has_value());
        ASSERT_EQ(to_hex(*back), to_hex(data));
    }
}

// Every byte value at every position of texts whose data reaches the AVX2
// blocks (both halves), an SSSE3 block and the scalar tail: decoded like the
// scalar code, and refused exactly when the byte is outside the alphabet
// (before the last group, where '=' and leftover bits have rules of their
// own).
TEST_P(Base64urlKernels, RefusesEveryOutsideByteAtEveryPosition) {
    const Kernel k = GetParam();
    std::mt19937 rng(12);
    // 65 bytes: 87 data characters and '=' (32 + 32 + 16 + 7); 72 bytes: 96
    // characters, no padding; 70 bytes: 94 characters and '=='.
    for (std::size_t n : {65u, 72u, 70u}) {
        const std::string text = encode_with(Kernel::Scalar, random_bytes(rng, n));
        for (std::size_t pos = 0; pos < text.size(); ++pos) {
            for (int b = 0; b < 256; ++b) {
                std::string t = text;
                t[pos] = static_cast<char>(b);
                const std::optional<Bytes> want = decode_with(Kernel::Scalar, t);
                const std::optional<Bytes> got = decode_with(k, t);
                ASSERT_EQ(got.has_value(), want.has_value()) << "length " << n << ", byte " << b << " at " << pos;
                if (pos + 4 < text.size()) {
                    const bool in_alphabet = kAlphabet.find(static_cast<char>(b)) != std::string_view::npos;
                    ASSERT_EQ(got.has_value(), in_alphabet) << "length " << n << ", byte " << b << " at " << pos;
                }
                if (got) {
                    ASSERT_EQ(to_hex(*got), to_hex(*want));
                }
            }
        }
    }
}

TEST_P(Base64urlKernels, AgreesWithTheScalarCodeOnRandomAndMutatedTexts) {
    const Kernel k = GetParam();
    std::mt19937 rng(2025);
    const std::string alphabet(kAlphabet);
    const std::string charset = alphabet + "=+/. \n\x80\xff@[`{:,^" + std::string(1, '\0');
    auto pick = [&](const std::string& s) { return s[rng() % s.size()]; };
    int accepted = 0, refused = 0;
    for (int i = 0; i < 6000; ++i) {
        std::string t;
        if (i % 3 == 0) {  // random characters of many lengths, mostly from the alphabet
            const std::size_t len = rng() % 600;
            for (std::size_t j = 0; j < len; ++j) t.push_back(rng() % 64 != 0 ? pick(alphabet) : pick(charset));
        } else {  // a canonical text, then one or two edits
            t = encode_with(Kernel::Scalar, random_bytes(rng, rng() % (i % 7 == 1 ? 1200 : 300)));
            const int edits = 1 + static_cast<int>(rng() % 2);
            for (int e = 0; e < edits && !t.empty(); ++e) {
                const std::size_t pos = rng() % t.size();
                switch (rng() % 5) {
                    case 0: t[pos] = pick(charset); break;
                    case 1: t.insert(t.begin() + static_cast<long>(pos), pick(charset)); break;
                    case 2: t.erase(pos, 1); break;
                    case 3: t[pos] = static_cast<char>(rng()); break;
                    default: t[pos] = pick(alphabet); break;  // stays valid unless last
                }
            }
        }
        const std::optional<Bytes> want = decode_with(Kernel::Scalar, t);
        const std::optional<Bytes> got = decode_with(k, t);
        ASSERT_EQ(got.has_value(), want.has_value()) << "text hex: " << to_hex(test::bytes_of(t));
        if (want) {
            ASSERT_EQ(to_hex(*got), to_hex(*want));
            ++accepted;
        } else {
            ++refused;
        }
    }
    // Both outcomes must be well represented, or the comparison proves little.
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(refused, 1000);
}

INSTANTIATE_TEST_SUITE_P(, Base64urlKernels, ::testing::ValuesIn(base64url::kAllKernels),
                         [](const ::testing::TestParamInfo<Kernel>& info) {
                             return std::string(base64url::kernel_name(info.param));
                         });

// The kernel the codec uses is the widest one the CPU reports, worked out
// here from the CPU's feature flags, or the scalar code when forced.
TEST(Base64urlKernelChoice, FollowsTheCpuUnlessSoftwareIsForced) {
    const char* forced_env = std::getenv("NORVANE_FORCE_SOFTWARE");
    const bool forced = forced_env != nullptr && std::string(forced_env) == "1";
    Kernel want = Kernel::Scalar;
#if defined(__x86_64__) || defined(__i386__)
    const bool avx2 = test::cpu_flag("avx2");
    const bool ssse3 = test::cpu_flag("ssse3");
    if (!forced && avx2) {
        want = Kernel::Avx2;
    } else if (!forced && ssse3) {
        want = Kernel::Ssse3;
    }
    EXPECT_EQ(base64url::cpu_runs(Kernel::Avx2), avx2);
    EXPECT_EQ(base64url::cpu_runs(Kernel::Ssse3), ssse3);
#else
    EXPECT_FALSE(base64url::cpu_runs(Kernel::Ssse3));
    EXPECT_FALSE(base64url::cpu_runs(Kernel::Avx2));
#endif
    EXPECT_TRUE(base64url::cpu_runs(Kernel::Scalar));
    const Kernel chosen = base64url::chosen_kernel();
    std::cout << "base64url kernel: " << base64url::kernel_name(chosen)
              << (forced ? " (software forced)" : " (chosen for this CPU)") << std::endl;
    RecordProperty("base64url_kernel", base64url::kernel_name(chosen));
    EXPECT_EQ(chosen, want);
    EXPECT_EQ(chosen, base64url::chosen_kernel());  // chosen once
}

}  // namespace
}  // namespace norvane
