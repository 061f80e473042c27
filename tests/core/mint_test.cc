// mint_test.cc - Norvane::encrypt: limits and their order, the context
// record it writes, token lengths, and fresh nonces.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "norvane/aad.h"
#include "norvane/base64url.h"
#include "norvane/norvane.h"
#include "test_util.h"

namespace norvane {
namespace {

using test::fields;
using test::U64_MAX;

std::string backend_name(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Aes256Gcm ? "Aes256Gcm" : "XChaCha20Poly1305";
}

class MintTest : public ::testing::TestWithParam<Backend> {
protected:
    Norvane nv = Norvane::create(GetParam(), test::make_key(0x1234, 0x5678));

    aad::Context context_of(const std::string& token) {
        auto record = base64url::decode(fields(token)[1]);
        EXPECT_TRUE(record.has_value());
        auto ctx = aad::Context::from_bytes(record.value_or(Bytes{}));
        EXPECT_TRUE(ctx.has_value());
        return ctx.value_or(aad::Context{});
    }
};

INSTANTIATE_TEST_SUITE_P(Backends, MintTest, ::testing::Values(Backend::Aes256Gcm, Backend::XChaCha20Poly1305),
                         backend_name);

TEST_P(MintTest, LimitsAndTheirOrder) {
    const std::string e_acute = "\xc3\xa9";
    std::string purpose_127_2byte_plus_1;
    for (int i = 0; i < 127; ++i) purpose_127_2byte_plus_1 += e_acute;
    purpose_127_2byte_plus_1 += "a";
    std::string data_8193_2byte, purpose_128_2byte = purpose_127_2byte_plus_1;
    purpose_128_2byte.back() = '\xc3';
    purpose_128_2byte += '\xa9';
    for (int i = 0; i < 8193; ++i) data_8193_2byte += e_acute;

    const std::string max_data(MAX_PLAINTEXT_LEN, 'd'), long_data(MAX_PLAINTEXT_LEN + 1, 'd');
    const std::string p255(255, 'p'), p256(256, 'p');
    struct Case {
        const char* name;
        const std::string& data;
        std::optional<std::uint64_t> expires_at;
        std::optional<std::string> purpose;
        std::optional<NorvaneError> want;
    };
    using E = NorvaneError;
    const Case cases[] = {
        {"16384 bytes", max_data, std::nullopt, std::nullopt, std::nullopt},
        {"16385 bytes", long_data, std::nullopt, std::nullopt, E::PlaintextTooLong},
        {"8193 two-byte chars", data_8193_2byte, std::nullopt, std::nullopt, E::PlaintextTooLong},
        {"expiry 0", max_data, 0, std::nullopt, E::ZeroExpiry},
        {"empty purpose", max_data, std::nullopt, "", E::EmptyPurpose},
        {"empty purpose with expiry", max_data, 9, "", E::EmptyPurpose},
        {"255-byte purpose", max_data, 9, p255, std::nullopt},
        {"255 bytes in 128 chars", max_data, 9, purpose_127_2byte_plus_1, std::nullopt},
        {"256-byte purpose", max_data, 9, p256, E::PurposeTooLong},
        {"128 two-byte chars", max_data, 9, purpose_128_2byte, E::PurposeTooLong},
        {"long data wins over expiry 0 and empty purpose", long_data, 0, "", E::PlaintextTooLong},
        {"long data wins over long purpose", long_data, 9, p256, E::PlaintextTooLong},
        {"expiry 0 wins over empty purpose", max_data, 0, "", E::ZeroExpiry},
        {"expiry 0 wins over long purpose", max_data, 0, p256, E::ZeroExpiry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto purpose = c.purpose ? std::optional<std::string_view>(*c.purpose) : std::nullopt;
        auto token = nv.encrypt(test::bytes_of(c.data), c.expires_at, purpose);
        if (c.want) {
            ASSERT_FALSE(token.ok());
            EXPECT_EQ(token.error(), *c.want);
        } else {
            ASSERT_TRUE(token.ok());
            auto opened = nv.decrypt_for_at(*token, c.purpose.value_or("session"), 0);
            ASSERT_TRUE(opened.ok());
            EXPECT_EQ(test::text_of(*opened), c.data);
        }
    }
}

TEST_P(MintTest, ExpiryIsStoredUnchanged) {
    for (std::uint64_t e : {std::uint64_t{1}, std::uint64_t{1700000000}, U64_MAX}) {
        SCOPED_TRACE(e);
        auto token = nv.encrypt(test::bytes_of("x"), e, "api");
        ASSERT_TRUE(token.ok());
        aad::Context ctx = context_of(*token);
        EXPECT_EQ(ctx.expires_at, e);
        EXPECT_EQ(ctx.purpose, "api");
    }
    auto never = nv.encrypt(test::bytes_of("x"), std::nullopt, std::nullopt);
    ASSERT_TRUE(never.ok());
    EXPECT_EQ(context_of(*never).expires_at, 0u);
}

TEST_P(MintTest, AbsentPurposeIsSession) {
    auto absent = nv.encrypt(test::bytes_of("hello"), std::nullopt, std::nullopt);
    auto given = nv.encrypt(test::bytes_of("hello"), std::nullopt, "session");
    ASSERT_TRUE(absent.ok() && given.ok());
    EXPECT_EQ(fields(*absent)[1], "AQAAAAAAAAAAB3Nlc3Npb24=");
    EXPECT_EQ(fields(*given)[1], "AQAAAAAAAAAAB3Nlc3Npb24=");
    auto with_expiry = nv.encrypt(test::bytes_of("hello"), 1700000000, std::nullopt);
    ASSERT_TRUE(with_expiry.ok());
    EXPECT_EQ(fields(*with_expiry)[1], "AQAAAABlU_EAB3Nlc3Npb24=");
}

TEST_P(MintTest, EveryTokenGetsAFreshNonce) {
    auto a = nv.encrypt(test::bytes_of("same"), 77, "p");
    auto b = nv.encrypt(test::bytes_of("same"), 77, "p");
    ASSERT_TRUE(a.ok() && b.ok());
    const auto fa = fields(*a), fb = fields(*b);
    EXPECT_NE(fa[0], fb[0]);
    EXPECT_EQ(fa[1], fb[1]);
    EXPECT_NE(fa[2], fb[2]);
    auto nonce = base64url::decode(fa[0]);
    ASSERT_TRUE(nonce.has_value());
    EXPECT_EQ(nonce->size(), nonce_len(GetParam()));
    EXPECT_EQ(fa[0].find('='), std::string::npos);
}

TEST_P(MintTest, TokenLengths) {
    const bool aes = GetParam() == Backend::Aes256Gcm;
    struct Case {
        std::size_t data_len;
        std::string purpose;
        std::size_t aes_len, xchacha_len;
    };
    const Case cases[] = {
        {3, "session", 70, 86},
        {5, "session", 70, 86},
        {0, "s", 58, 74},
        {MAX_PLAINTEXT_LEN, std::string(255, 'p'), 22242, 22258},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data_len);
        auto token = nv.encrypt(Bytes(c.data_len, 'a'), std::nullopt, c.purpose);
        ASSERT_TRUE(token.ok());
        EXPECT_EQ(token->size(), aes ? c.aes_len : c.xchacha_len);
        EXPECT_EQ(fields(*token)[0].size(), aes ? 16u : 32u);
        if (c.data_len == 0) {
            EXPECT_EQ(fields(*token)[2].size(), 24u);  // the tag alone
        }
    }
}

TEST_P(MintTest, PastExpiryIsAcceptedAndAlreadyExpired) {
    auto token = nv.encrypt(test::bytes_of("late"), 1, std::nullopt);
    ASSERT_TRUE(token.ok());
    auto opened = nv.decrypt_for_at(*token, "session", 1700000000);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error(), NorvaneError::Expired);
}

}  // namespace
}  // namespace norvane
