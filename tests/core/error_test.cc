// error_test.cc - the 14 fixed messages, byte for byte.
#include "norvane/error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace norvane {
namespace {

TEST(ErrorMessage, EveryValueHasItsExactMessage) {
    const std::pair<NorvaneError, const char*> table[] = {
        {NorvaneError::MissingKey, "the key or key_env must be passed"},
        {NorvaneError::InvalidKeyEnv, "the value of key_env is invalid"},
        {NorvaneError::ConflictingKeys, "key and key_env were both provided \xe2\x80\x94 pass exactly one"},
        {NorvaneError::InvalidToken, "invalid token"},
        {NorvaneError::Tampered, "the data has been modified"},
        {NorvaneError::Expired, "token has expired"},
        {NorvaneError::ZeroExpiry, "expires_at must be greater than zero \xe2\x80\x94 pass None for no expiry"},
        {NorvaneError::WrongPurpose, "token was not minted for the expected purpose"},
        {NorvaneError::EmptyPurpose,
         "purpose must not be empty \xe2\x80\x94 pass None for the default instead"},
        {NorvaneError::PurposeTooLong, "purpose exceeds the 255-byte limit"},
        {NorvaneError::PlaintextTooLong, "plaintext exceeds the 16384-byte limit"},
        {NorvaneError::InvalidUtf8, "decrypted data was not valid UTF-8"},
        {NorvaneError::InvalidBase64, "base64 is invalid"},
        {NorvaneError::RandomnessUnavailable, "operating system randomness is unavailable"},
    };
    static_assert(std::size(table) == NORVANE_ERROR_COUNT);
    std::set<std::string_view> seen;
    for (int i = 0; i < NORVANE_ERROR_COUNT; ++i) {
        auto [e, want] = table[i];
        SCOPED_TRACE(want);
        EXPECT_EQ(static_cast<int>(e), i);  // declaration order is the value order
        const std::string_view m = message(e);
        EXPECT_EQ(m, want);
        EXPECT_TRUE(m.front() >= 'a' && m.front() <= 'z');
        EXPECT_NE(m.back(), '.');
        seen.insert(m);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(NORVANE_ERROR_COUNT));
}

TEST(ErrorMessage, ConflictingKeysUsesTheEmDash) {
    const std::string_view m = message(NorvaneError::ConflictingKeys);
    EXPECT_EQ(m.size(), 55u);  // 53 characters, the dash being three bytes
    EXPECT_NE(m.find(" \xe2\x80\x94 "), std::string_view::npos);
    EXPECT_EQ(m.find('-'), std::string_view::npos);
}

}  // namespace
}  // namespace norvane
