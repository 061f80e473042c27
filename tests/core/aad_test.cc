// aad_test.cc - the context record: its bytes, its context field, and which
// records Context::from_bytes accepts.
#include "norvane/aad.h"

#include <gtest/gtest.h>

#include <string>

#include "norvane/base64url.h"
#include "test_util.h"

namespace norvane {
namespace {

using test::from_hex;
using test::to_hex;
using test::U64_MAX;

std::string field_of(ByteView record) {
    std::string s(base64url::encoded_len(record.size()), '\0');
    base64url::encode(record, s.data());
    return s;
}

TEST(Context, DefaultRecordAndField) {
    Bytes r = aad::write_context(0, "session");
    EXPECT_EQ(to_hex(r), "01" "0000000000000000" "07" "73657373696f6e");
    EXPECT_EQ(field_of(r), "AQAAAAAAAAAAB3Nlc3Npb24=");
}

TEST(Context, RecordWithExpiryAndField) {
    Bytes r = aad::write_context(1700000000, "session");
    EXPECT_EQ(to_hex(r), "01" "000000006553f100" "07" "73657373696f6e");
    EXPECT_EQ(field_of(r), "AQAAAABlU_EAB3Nlc3Npb24=");
}

TEST(Context, WrittenRecordsParseBack) {
    const std::uint64_t expiries[] = {0, 1, 1700000000, U64_MAX - 1, U64_MAX};
    const std::string purposes[] = {"session", "a", "api/v2 \xc3\xa9", std::string(255, 'p')};
    for (std::uint64_t e : expiries) {
        for (const std::string& p : purposes) {
            Bytes r = aad::write_context(e, p);
            EXPECT_EQ(r.size(), aad::HEADER_LEN + p.size());
            auto ctx = aad::Context::from_bytes(r);
            ASSERT_TRUE(ctx.has_value());
            EXPECT_EQ(ctx->expires_at, e);
            EXPECT_EQ(ctx->purpose, p);
        }
    }
}

TEST(Context, LatestExpiryIsNotNoExpiry) {
    auto ctx = aad::Context::from_bytes(from_hex("01ffffffffffffffff0161"));
    ASSERT_TRUE(ctx.has_value());
    EXPECT_EQ(ctx->expires_at, U64_MAX);
    EXPECT_EQ(ctx->purpose, "a");
}

TEST(Context, TenByteRecordIsEmptyPurposeWithoutExpiry) {
    auto ctx = aad::Context::from_bytes(from_hex("01000000000000000000"));
    ASSERT_TRUE(ctx.has_value());
    EXPECT_EQ(ctx->expires_at, 0u);
    EXPECT_EQ(ctx->purpose, "");
}

TEST(Context, RefusesMalformedRecords) {
    const std::pair<const char*, const char*> refused[] = {
        {"empty", ""},
        {"version only", "01"},
        {"nine bytes", "010000000000000000"},
        {"version 0", "00000000000000000003616263"},
        {"version 2", "02000000000000000003616263"},
        {"version ff", "ff000000000000000003616263"},
        {"length past end", "01000000000000000004616263"},
        {"length 1, no byte", "01000000000000000001"},
        {"one extra byte", "0100000000000000000361626364"},
        {"extra byte, empty purpose", "0100000000000000000000"},
        {"purpose ff", "01000000000000000001ff"},
        {"truncated utf-8", "01000000000000000001c3"},
        {"overlong utf-8", "01000000000000000002c0af"},
        {"surrogate", "01000000000000000003eda080"},
    };
    for (auto [name, hex] : refused) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(aad::Context::from_bytes(from_hex(hex)).has_value());
    }
}

TEST(Context, LongestRecordParsesAndLongerNever) {
    Bytes r = aad::write_context(5, std::string(255, 'x'));
    ASSERT_EQ(r.size(), 265u);
    EXPECT_TRUE(aad::Context::from_bytes(r).has_value());
    r.push_back('x');
    EXPECT_FALSE(aad::Context::from_bytes(r).has_value());
}

}  // namespace
}  // namespace norvane
