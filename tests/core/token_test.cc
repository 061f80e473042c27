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
        EXPECT_EQ(test::to_hex(decoded->sealed), test::to_hex(sealed));
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
