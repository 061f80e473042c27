// key_test.cc - the 128-bit key: decimal parsing, source resolution and the
// SHA-256 derivation of the cipher key.
#include "norvane/key.h"

#include <bearssl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "norvane/norvane.h"
#include "test_util.h"

namespace norvane {
namespace {

using test::key_hex;
using test::make_key;
using test::to_hex;

const std::string MAX_KEY = "340282366920938463463374607431768211455";  // 2**128 - 1

// ScopedEnv sets (or unsets) a variable of a name unique to this process and
// test, and unsets it afterwards.
class ScopedEnv {
public:
    explicit ScopedEnv(const std::string& tag, const char* value)
        : name_("NORVANE_TEST_" + tag + "_" + std::to_string(getpid())) {
        if (value != nullptr) {
            setenv(name_.c_str(), value, 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ~ScopedEnv() { unsetenv(name_.c_str()); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

TEST(ParseDecimalKey, AcceptedTexts) {
    const std::string zeros40(40, '0');
    const std::pair<std::string, const char*> cases[] = {
        {"0", "00000000000000000000000000000000"},
        {"+5", "00000000000000000000000000000005"},
        {"+0", "00000000000000000000000000000000"},
        {"1339673755198158349044581307228491536", "0102030405060708090a0b0c0d0e0f10"},
        {MAX_KEY, "ffffffffffffffffffffffffffffffff"},
        {"+" + MAX_KEY, "ffffffffffffffffffffffffffffffff"},
        {"00000" + MAX_KEY, "ffffffffffffffffffffffffffffffff"},
        {zeros40 + "1", "00000000000000000000000000000001"},
        {zeros40, "00000000000000000000000000000000"},
        {std::string(32, '9'), "000004ee2d6d415b85acef80ffffffff"},  // 10**32 - 1
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE("text: \"" + text + "\"");
        auto key = parse_decimal_key(text);
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(key_hex(*key), want);
    }
}

TEST(ParseDecimalKey, RefusedTexts) {
    const std::string refused[] = {
        "", "+", "-", "-0", "-5", "++1", "+-1", " 1", "1 ", "1\n", "\t1", "1_0", "1.0", "1,0", "0x10", "1e3",
        "\xd9\xa1",      // ARABIC-INDIC DIGIT ONE
        "\xef\xbc\x91",  // FULLWIDTH DIGIT ONE
        std::string("1\0", 2),
        "340282366920938463463374607431768211456",   // 2**128
        "999999999999999999999999999999999999999",   // 39 digits, too big
        "1000000000000000000000000000000000000000",  // 10**39
        std::string(40, '0') + "340282366920938463463374607431768211456",
    };
    for (const std::string& text : refused) {
        SCOPED_TRACE("text: \"" + text + "\"");
        EXPECT_FALSE(parse_decimal_key(text).has_value());
    }
}

TEST(ParseDecimalKey, EveryTextOfAtMost32DigitsIsInRange) {
    for (std::size_t n = 1; n <= 32; ++n) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(parse_decimal_key(std::string(n, '9')).has_value());
    }
}

TEST(KeyFromLeBytes, ReversesTheBytes) {
    std::array<std::uint8_t, KEY_LEN> le{};
    for (std::size_t i = 0; i < KEY_LEN; ++i) le[i] = static_cast<std::uint8_t>(0x10 - i);
    EXPECT_EQ(key_hex(key_from_le_bytes(le)), "0102030405060708090a0b0c0d0e0f10");
}

TEST(ResolveKey, SourcePrecedence) {
    Key direct = make_key(0, 42);
    ScopedEnv unset("PRECEDENCE", nullptr);
    auto both = resolve_key(&direct, std::string_view(unset.name()));
    ASSERT_FALSE(both.ok());
    EXPECT_EQ(both.error(), NorvaneError::ConflictingKeys);

    auto neither = resolve_key(nullptr, std::nullopt);
    ASSERT_FALSE(neither.ok());
    EXPECT_EQ(neither.error(), NorvaneError::MissingKey);

    auto only_key = resolve_key(&direct, std::nullopt);
    ASSERT_TRUE(only_key.ok());
    EXPECT_EQ(key_hex(*only_key), key_hex(direct));
}

TEST(ResolveKey, EnvironmentValues) {
    const std::pair<const char*, const char*> cases[] = {
        {"12345", "00000000000000000000000000003039"},
        {"+0", "00000000000000000000000000000000"},
        {"340282366920938463463374607431768211455", "ffffffffffffffffffffffffffffffff"},
        {"340282366920938463463374607431768211456", nullptr},
        {"", nullptr},
        {" 1", nullptr},
        {"1\n", nullptr},
        {"-1", nullptr},
        {"\xff\xfe", nullptr},  // not UTF-8
        {"1\xff", nullptr},
    };
    int i = 0;
    for (auto [value, want] : cases) {
        SCOPED_TRACE(to_hex(test::bytes_of(value)));
        ScopedEnv env("VALUE" + std::to_string(i++), value);
        auto key = resolve_key(nullptr, std::string_view(env.name()));
        if (want == nullptr) {
            ASSERT_FALSE(key.ok());
            EXPECT_EQ(key.error(), NorvaneError::InvalidKeyEnv);
        } else {
            ASSERT_TRUE(key.ok());
            EXPECT_EQ(key_hex(*key), want);
        }
    }
}

TEST(ResolveKey, UnsetOrUnnamableVariable) {
    ScopedEnv unset("UNSET", nullptr);
    auto r = resolve_key(nullptr, std::string_view(unset.name()));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), NorvaneError::InvalidKeyEnv);

    // The part before the NUL names a set variable, but the name as a whole
    // cannot name anything.
    ScopedEnv set("NUL", "7");
    const std::string with_nul = set.name() + std::string("\0X", 2);
    for (std::string_view name : {std::string_view(with_nul), std::string_view("\0", 1),
                                  std::string_view(with_nul.data(), set.name().size() + 1)}) {
        auto n = resolve_key(nullptr, name);
        ASSERT_FALSE(n.ok());
        EXPECT_EQ(n.error(), NorvaneError::InvalidKeyEnv);
    }
    // A name with '=' is never looked up, though getenv would find the tail
    // of the variable whose name it starts with.
    ScopedEnv holder("HOLDER", "1=1339673755198158349044581307228491536");
    const std::string with_equals = holder.name() + "=1";
    auto tail = resolve_key(nullptr, std::string_view(with_equals));
    ASSERT_FALSE(tail.ok());
    EXPECT_EQ(tail.error(), NorvaneError::InvalidKeyEnv);

    auto empty_name = resolve_key(nullptr, std::string_view(""));
    ASSERT_FALSE(empty_name.ok());
    EXPECT_EQ(empty_name.error(), NorvaneError::InvalidKeyEnv);
}

TEST(ResolveKey, KeyFromEnvironmentOpensTokensOfDirectKey) {
    ScopedEnv env("ACROSS", "+0001339673755198158349044581307228491536");
    auto from_env = resolve_key(nullptr, std::string_view(env.name()));
    ASSERT_TRUE(from_env.ok());
    Key direct = make_key(0x0102030405060708, 0x090a0b0c0d0e0f10);
    for (Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
        SCOPED_TRACE(static_cast<int>(b));
        Norvane a = Norvane::create(b, *from_env);
        Norvane c = Norvane::create(b, direct);
        const Bytes data = test::bytes_of("across");
        auto t1 = a.encrypt(data, std::nullopt, std::nullopt);
        auto t2 = c.encrypt(data, std::nullopt, std::nullopt);
        ASSERT_TRUE(t1.ok() && t2.ok());
        auto p1 = c.decrypt_for_at(*t1, "session", 0);
        auto p2 = a.decrypt_for_at(*t2, "session", 0);
        ASSERT_TRUE(p1.ok() && p2.ok());
        EXPECT_EQ(test::text_of(*p1), "across");
        EXPECT_EQ(test::text_of(*p2), "across");
    }
}

std::string reference_cipher_key(const Key& key, std::string_view label) {
    br_sha256_context sha;
    br_sha256_init(&sha);
    br_sha256_update(&sha, key.data(), key.size());
    br_sha256_update(&sha, label.data(), label.size());
    std::uint8_t out[32];
    br_sha256_out(&sha, out);
    return to_hex(ByteView(out, 32));
}

std::string cipher_hex(Backend b, const Key& k) {
    CipherKey c = derive_cipher_key(b, k);
    return to_hex(c.view());
}

TEST(DeriveCipherKey, IsSha256OfOctetsAndLabel) {
    const Key keys[] = {make_key(0, 0), make_key(0, 1), make_key(0x0102030405060708, 0x090a0b0c0d0e0f10),
                        make_key(test::U64_MAX, test::U64_MAX), make_key(0x00ff, 0)};
    for (const Key& k : keys) {
        SCOPED_TRACE(key_hex(k));
        const std::string aes = cipher_hex(Backend::Aes256Gcm, k);
        const std::string xc = cipher_hex(Backend::XChaCha20Poly1305, k);
        EXPECT_EQ(aes, reference_cipher_key(k, "aes256gcm"));
        EXPECT_EQ(xc, reference_cipher_key(k, "xchacha20poly1305"));
        EXPECT_NE(aes, xc);
    }
    // Fixed answers computed with another SHA-256 implementation (Python's hashlib).
    EXPECT_EQ(cipher_hex(Backend::Aes256Gcm, make_key(0, 0)),
              "e6f9222eb570394fb17c8f49cf100a37163f484e1ed8bd687944096f362d96e7");
    EXPECT_EQ(cipher_hex(Backend::XChaCha20Poly1305, make_key(0, 0)),
              "1704b7b1ef7fa205c33d6ec161a7edcb88bdc499dbfdd025d71c711a2e2fb073");
    EXPECT_EQ(cipher_hex(Backend::Aes256Gcm, make_key(0, 1)),
              "2a857040c5f464b95fab83f3bbf17b521863d99871c75a850aa78f56a5e21168");
}

TEST(DeriveCipherKey, SmallKeysKeepTheirLeadingZeroOctets) {
    // Key 1 hashes all 16 octets, not the single significant one.
    br_sha256_context sha;
    br_sha256_init(&sha);
    const std::uint8_t one = 1;
    br_sha256_update(&sha, &one, 1);
    br_sha256_update(&sha, "aes256gcm", 9);
    std::uint8_t stripped[32];
    br_sha256_out(&sha, stripped);
    EXPECT_NE(cipher_hex(Backend::Aes256Gcm, make_key(0, 1)), to_hex(ByteView(stripped, 32)));
}

}  // namespace
}  // namespace norvane
