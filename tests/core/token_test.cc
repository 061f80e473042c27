// token_test.cc - encode_token and token_len: the three fields, their order
// and the exact length; decode_token, its inverse, and where it stops.
#include "norvane/token.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "norvane/aad.h"
#include "norvane/base64url.h"
#include "norvane/constants.h"
#include "test_util.h"

namespace norvane {
namespace {

using test::from_hex;

TEST(TokenLen, FollowsTheFieldLengths) {
    EXPECT_EQ(token_len(12, 17, 21), 70u);        // AES, 5 bytes, default purpose
    EXPECT_EQ(token_len(12, 17, 19), 70u);        // AES, 3 bytes
    EXPECT_EQ(token_len(24, 17, 19), 86u);        // XChaCha, 3 bytes
    EXPECT_EQ(token_len(12, 11, 16), 58u);        // the shortest minted token
    EXPECT_EQ(token_len(24, 265, 16400), 22258u);  // the longest minted token
    EXPECT_EQ(token_len(0, 0, 0), 2u);
}

TEST(EncodeToken, WritesNonceContextAndSealedInOrder) {
    const Bytes nonce(12, 0);
    const Bytes context = aad::write_context(1700000000, "session");
    const Bytes sealed = from_hex("fbff");
    const std::string token = encode_token(nonce, context, sealed);
    EXPECT_EQ(token, "AAAAAAAAAAAAAAAA.AQAAAABlU_EAB3Nlc3Npb24=.-_8=");
    EXPECT_EQ(token.size(), token_len(nonce.size(), context.size(), sealed.size()));
}

TEST(EncodeToken, EveryFieldDecodesBack) {
    Bytes nonce(24), context(200), sealed(1000);
    for (std::size_t i = 0; i < sealed.size(); ++i) sealed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (std::size_t i = 0; i < context.size(); ++i) context[i] = static_cast<std::uint8_t>(255 - i);
    for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(i + 250);
    const std::string token = encode_token(nonce, context, sealed);
    ASSERT_EQ(token.size(), token_len(24, 200, 1000));
    const auto f = test::fields(token);
    EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2);
    EXPECT_EQ(f[0].find('='), std::string::npos);  // 12 and 24 are multiples of 3
    const ByteView parts[] = {nonce, context, sealed};
    for (int i = 0; i < 3; ++i) {
        auto back = base64url::decode(f[i]);
        ASSERT_TRUE(back.has_value()) << "field " << i;
        EXPECT_EQ(test::to_hex(*back), test::to_hex(parts[i])) << "field " << i;
    }
}

TEST(EncodeToken, EmptyFieldsAreEmptyTexts) { EXPECT_EQ(encode_token({}, {}, {}), ".."); }

TEST(DecodeToken, InvertsEncodeTokenForAnyFieldLengths) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 12u, 24u, 31u}) {
        Bytes nonce(n, 0xA1), context(n + 5, 0x01), sealed(2 * n + 16, 0xFE);
        FieldStorage storage;
        BytesSink sink;
        auto decoded = decode_token(encode_token(nonce, context, sealed), storage, sink);
        ASSERT_TRUE(decoded.ok()) << n;
        EXPECT_EQ(test::to_hex(decoded->nonce), test::to_hex(nonce));
        EXPECT_EQ(test::to_hex(decoded->context), test::to_hex(context));
        EXPECT_EQ(decoded->sealed_len, sealed.size());
        Bytes back(decoded->ciphertext.begin(), decoded->ciphertext.end());
        back.insert(back.end(), decoded->tag.begin(), decoded->tag.end());
        EXPECT_EQ(test::to_hex(back), test::to_hex(sealed));
    }
}

// The sealed field is decoded in two parts, the ciphertext into the sink at
// its exact length and the tag apart: every ciphertext length puts the
// boundary at another place in a base64 group.
TEST(DecodeToken, SplitsTheSealedFieldIntoCiphertextAndTag) {
    struct ExactSink final : SealedSink {
        std::uint8_t* reserve(std::size_t len) override {
            asked.push_back(len);
            bytes.assign(len, 0xEE);
            return bytes.data();
        }
        std::vector<std::size_t> asked;
        Bytes bytes;
    };
    for (std::size_t n = 0; n <= 40; ++n) {
        Bytes sealed(n + TAG_LEN);
        for (std::size_t i = 0; i < sealed.size(); ++i) sealed[i] = static_cast<std::uint8_t>(i * 37 + n);
        FieldStorage storage;
        ExactSink sink;
        auto decoded = decode_token(encode_token(Bytes(12, 1), Bytes(11, 2), sealed), storage, sink);
        ASSERT_TRUE(decoded.ok()) << n;
        EXPECT_EQ(sink.asked, std::vector<std::size_t>{n});
        EXPECT_EQ(test::to_hex(decoded->ciphertext), test::to_hex(ByteView(sealed).first(n))) << n;
        EXPECT_EQ(test::to_hex(decoded->tag), test::to_hex(ByteView(sealed).last(TAG_LEN))) << n;
    }
    // Shorter than a tag: checked as base64, nothing reserved, nothing split.
    for (std::size_t n = 0; n < TAG_LEN; ++n) {
        FieldStorage storage;
        ExactSink sink;
        auto decoded = decode_token(encode_token(Bytes(12, 1), Bytes(11, 2), Bytes(n, 3)), storage, sink);
        ASSERT_TRUE(decoded.ok()) << n;
        EXPECT_EQ(decoded->sealed_len, n);
        EXPECT_TRUE(sink.asked.empty());
        EXPECT_TRUE(decoded->ciphertext.empty() && decoded->tag.empty());
    }
}

// Split in two, the field is still refused exactly where the whole would
// be: a padded group before the tail, padding inside the tail, a bad
// character on either side of the boundary; what was decoded is wiped.
TEST(DecodeToken, RefusesNonCanonicalSealedFieldsOnEitherSideOfTheSplit) {
    const std::string prefix = encode_token(Bytes(12, 0), Bytes(11, 2), {});  // ends with the '.' before the field
    const std::string good_tail = std::string(24, 'A');  // 18 bytes: 2 of ciphertext and the tag
    const std::string bad[] = {
        "QQ==" + good_tail,                   // a padded group where the ciphertext goes on
        "AAAA" + std::string("AA==") + std::string(20, 'A'),  // padding inside the tail
        "AA*A" + good_tail,                   // a bad character in the ciphertext's part
        "AAAA" + std::string(23, 'A') + "*",   // and in the tail
        "AAAA" + std::string(23, 'A') + "B=",  // leftover bits in the last group
        "AAAA" + good_tail.substr(1),          // not whole groups
    };
    for (const std::string& sealed : bad) {
        FieldStorage storage;
        struct Watched final : SealedSink {
            std::uint8_t* reserve(std::size_t len) override {
                bytes.assign(len, 0xEE);
                return bytes.data();
            }
            Bytes bytes;
        } sink;
        auto r = decode_token(prefix + sealed, storage, sink);
        ASSERT_FALSE(r.ok()) << sealed;
        EXPECT_EQ(r.error(), NorvaneError::InvalidBase64) << sealed;
        EXPECT_TRUE(std::all_of(sink.bytes.begin(), sink.bytes.end(), [](std::uint8_t b) { return b == 0; }))
            << sealed;
    }
}

// Opening's own tests hold the full table of malformed texts; these pin the
// order of the steps, which every reader of a token shares.
TEST(DecodeToken, StopsAtTheFirstFailingStep) {
    const std::string good = encode_token(Bytes(12, 0), aad::write_context(0, "session"), Bytes(16, 0));
    struct Case {
        std::string text;
        NorvaneError want;
    };
    const Case cases[] = {
        {"", NorvaneError::InvalidToken},
        {"AAAA.AAAA", NorvaneError::InvalidToken},
        {std::string(MAX_TOKEN_LEN + 1 - 2, 'A') + "..", NorvaneError::InvalidToken},  // size before split
        {"A.AAAA.AAAA", NorvaneError::InvalidBase64},                                 // nonce first
        {"AAAA.A.A", NorvaneError::InvalidBase64},                                    // then context
        {good + ".AAAA", NorvaneError::InvalidBase64},  // a third '.' stays in the ciphertext field
        {".." + std::string(MAX_TOKEN_LEN - 2, 'A'), NorvaneError::InvalidBase64},   // at the limit: decoded
    };
    for (const Case& c : cases) {
        FieldStorage storage;
        BytesSink sink;
        auto r = decode_token(c.text, storage, sink);
        ASSERT_FALSE(r.ok()) << c.text.substr(0, 40);
        EXPECT_EQ(r.error(), c.want) << c.text.substr(0, 40);
    }
}

}  // namespace
}  // namespace norvane
