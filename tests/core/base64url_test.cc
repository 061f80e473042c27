// base64url_test.cc - the padded URL-safe codec: round trips, known answers,
// and a strict decoder that accepts exactly what the encoder produces.
#include "norvane/base64url.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "test_util.h"

namespace norvane {
namespace {

using test::bytes_of;
using test::to_hex;

std::string encode_str(ByteView b) {
    std::string s(base64url::encoded_len(b.size()), '\0');
    char* end = base64url::encode(b, s.data());
    EXPECT_EQ(end, s.data() + s.size());
    return s;
}

// decode_into_vec runs the in-place decoder into a buffer of the documented
// capacity and checks it agrees with decode.
std::optional<Bytes> decode_both(std::string_view text) {
    std::optional<Bytes> a = base64url::decode(text);
    std::vector<std::uint8_t> buf(base64url::decoded_capacity(text.size()) + 1);
    std::optional<std::size_t> n = base64url::decode_into(text, buf.data());
    EXPECT_EQ(a.has_value(), n.has_value()) << "text: " << text;
    if (a && n) {
        EXPECT_EQ(to_hex(*a), to_hex(ByteView(buf.data(), *n))) << "text: " << text;
    }
    return a;
}

// reference_decode is an independent, table-based strict decoder (RFC 4648
// section 5 with padding, canonical final group).
std::optional<Bytes> reference_decode(std::string_view t) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    if (t.size() % 4 != 0) return std::nullopt;
    Bytes out;
    for (std::size_t g = 0; g < t.size(); g += 4) {
        std::size_t pad = 0;
        if (g + 4 == t.size())
            while (pad < 2 && t[g + 3 - pad] == '=') ++pad;
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4 - pad; ++i) {
            std::size_t p = alphabet.find(t[g + i]);
            if (p == std::string_view::npos) return std::nullopt;
            v = v << 6 | static_cast<std::uint32_t>(p);
        }
        v <<= 6 * pad;
        if ((pad == 1 && (v & 0xff) != 0) || (pad == 2 && (v & 0xffff) != 0)) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

TEST(Base64url, RoundTrips) {
    std::mt19937 rng(7);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 120; ++n) lengths.push_back(n);
    // Texts longer than 256 characters, where the decoder works in blocks.
    for (std::size_t n : {190u, 191u, 192u, 193u, 194u, 1000u, 16400u}) lengths.push_back(n);
    for (std::size_t n : lengths) {
        SCOPED_TRACE("length " + std::to_string(n));
        Bytes data(n);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        std::string text = encode_str(data);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        std::size_t pads = text.size() - text.find_last_not_of('=') - 1;
        EXPECT_EQ(pads, n == 0 ? 0 : (3 - n % 3) % 3);
        auto back = decode_both(text);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(to_hex(*back), to_hex(data));
    }
}

TEST(Base64url, KnownAnswers) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\x01", "AQ=="},
        {"\xfb\xff", "-_8="}, {"\xfb\xff\xbf", "-_-_"}, {"\xff\xff\xff", "____"},
    };
    for (auto [plain, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(encode_str(bytes_of(plain)), text);
        auto back = decode_both(text);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(to_hex(*back), to_hex(bytes_of(plain)));
    }
}

TEST(Base64url, RefusesNonCanonicalTexts) {
    const std::string refused[] = {
        "AR==", "AB==", "Zh==", "Zm9=", "AQ=", "AQ", "A", "AQA", "AQAAA",  // bits, lengths
        "AQ==AQ==", "A===", "====", "AQ=A", "=AAA", "AA=A", "Zm9v====", "Zm9v=", "AQ===",  // '='
        "Zm+v", "Zm/v", "+w==", "/w==", "Zm.v", "Zm9v.", " Zm9v", "Zm9v ", "Zm9v\n", "Zm\tv",
        "Zm9\x80", "Zm9\xff", "\xc3\xa9" "AA", std::string("Zm\0v", 4), "Zm9v\r\n", "AQ==\n",
    };
    for (const std::string& t : refused) {
        SCOPED_TRACE(to_hex(bytes_of(t)));
        EXPECT_FALSE(decode_both(t).has_value());
        EXPECT_FALSE(reference_decode(t).has_value());
    }
}

TEST(Base64url, AgreesWithReferenceDecoderOnRandomAndMutatedTexts) {
    std::mt19937 rng(2024);
    const std::string charset =
        std::string("AQgwBCDEZaz09-_=+/. \n\x80\xff") + std::string(1, '\0');
    auto pick = [&](const std::string& s) { return s[rng() % s.size()]; };
    int accepted = 0, refused = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string t;
        if (i % 2 == 0) {
            std::size_t len = rng() % 17;
            for (std::size_t j = 0; j < len; ++j) t.push_back(pick(charset));
        } else {
            Bytes data(rng() % (i % 8 == 1 ? 400 : 40));
            for (auto& b : data) b = static_cast<std::uint8_t>(rng());
            t = encode_str(data);
            int edits = 1 + static_cast<int>(rng() % 2);
            for (int e = 0; e < edits && !t.empty(); ++e) {
                std::size_t pos = rng() % t.size();
                switch (rng() % 4) {
                    case 0: t[pos] = pick(charset); break;
                    case 1: t.insert(t.begin() + static_cast<long>(pos), pick(charset)); break;
                    case 2: t.erase(pos, 1); break;
                    default: t[pos] = static_cast<char>(rng()); break;
                }
            }
        }
        auto want = reference_decode(t);
        auto got = decode_both(t);
        ASSERT_EQ(got.has_value(), want.has_value()) << "text hex: " << to_hex(bytes_of(t));
        if (want) {
            EXPECT_EQ(to_hex(*got), to_hex(*want));
            ++accepted;
        } else {
            ++refused;
        }
    }
    // Both outcomes must be well represented, or the comparison proves little.
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(refused, 1000);
}

}  // namespace
}  // namespace norvane
