// open_test.cc - Norvane::decrypt_for_at: the order of its steps and the
// error each kind of token gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "norvane/aad.h"
#include "norvane/base64url.h"
#include "norvane/norvane.h"
#include "test_util.h"

namespace norvane {
namespace {

using test::fields;
using test::join;
using test::U64_MAX;
using E = NorvaneError;

std::string backend_name(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Aes256Gcm ? "Aes256Gcm" : "XChaCha20Poly1305";
}

Backend other(Backend b) {
    return b == Backend::Aes256Gcm ? Backend::XChaCha20Poly1305 : Backend::Aes256Gcm;
}

class OpenTest : public ::testing::TestWithParam<Backend> {
protected:
    Key key = test::make_key(0xfeed, 0xbeef);
    Norvane nv = Norvane::create(GetParam(), key);

    std::string mint(std::string_view data, std::optional<std::uint64_t> expires_at = std::nullopt,
                     std::optional<std::string_view> purpose = std::nullopt) {
        auto t = nv.encrypt(test::bytes_of(data), expires_at, purpose);
        EXPECT_TRUE(t.ok());
        return t.ok() ? *t : std::string();
    }

    // seal builds an authentic token around any context record and plaintext,
    // including ones minting refuses, with the adapters and encode_token.
    std::string seal(ByteView record, ByteView plaintext) {
        const CipherKey ck = derive_cipher_key(GetParam(), key);
        const Bytes nonce(nonce_len(GetParam()), 0x42);
        const Bytes sealed = seal_to_bytes(*backend_row(GetParam()).prepare(ck.view()), nonce, record, plaintext);
        return encode_token(nonce, record, sealed);
    }

    void expect(std::string_view token, std::string_view purpose, std::uint64_t at, std::optional<E> want,
                std::string_view plaintext = "") {
        auto r = nv.decrypt_for_at(token, purpose, at);
        if (want) {
            ASSERT_FALSE(r.ok()) << "opened, expected error " << static_cast<int>(*want);
            EXPECT_EQ(r.error(), *want) << message(r.error());
        } else {
            ASSERT_TRUE(r.ok()) << message(r.error());
            EXPECT_EQ(test::text_of(*r), plaintext);
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Backends, OpenTest, ::testing::Values(Backend::Aes256Gcm, Backend::XChaCha20Poly1305),
                         backend_name);

// A sink that keeps its storage in sight after the call.
class WatchedSink final : public SealedSink {
public:
    std::uint8_t* reserve(std::size_t len) override {
        storage.assign(len, 0xEE);
        return storage.data();
    }
    std::vector<std::uint8_t> storage;
};

// Opening into a caller's storage leaves the plaintext at its start; any
// refusal after the storage was handed out leaves it wiped, for a refusal
// after the tag verified means it held the plaintext.
TEST_P(OpenTest, CallersStorageHoldsThePlaintextOrNothing) {
    const std::string data = "a plaintext that must not stay behind";
    struct Case {
        std::string token;
        std::string_view purpose;
        std::uint64_t at;
        std::optional<E> want;
    };
    const std::string good = mint(data, 100);
    std::string forged = good;
    forged[forged.size() - 3] = forged[forged.size() - 3] == 'A' ? 'B' : 'A';
    const Case cases[] = {
        {good, "session", 50, std::nullopt},
        {good, "other", 50, E::WrongPurpose},
        {good, "session", 100, E::Expired},
        {seal(aad::write_context(0, "session"), test::bytes_of("\xff not UTF-8")), "session", 0, E::InvalidUtf8},
        {seal(test::from_hex("02000000000000000000"), test::bytes_of(data)), "session", 0, E::InvalidToken},
        {forged, "session", 50, E::Tampered},
        {good + ".AAAA", "session", 50, E::InvalidBase64},
    };
    for (const Case& c : cases) {
        WatchedSink sink;
        auto r = nv.decrypt_for_at_into(c.token, c.purpose, c.at, sink);
        // A field that is not whole base64 groups is refused before any
        // storage is asked for.
        ASSERT_EQ(sink.storage.empty(), c.want == E::InvalidBase64);
        if (!c.want) {
            ASSERT_TRUE(r.ok());
            // The storage is the plaintext's, at its exact length.
            EXPECT_EQ(std::string(sink.storage.begin(), sink.storage.end()), data);
            EXPECT_EQ(*r, data.size());
            continue;
        }
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), *c.want);
        EXPECT_TRUE(std::all_of(sink.storage.begin(), sink.storage.end(), [](std::uint8_t b) { return b == 0; }))
            << message(*c.want);
    }
    // Nothing is reserved for a token refused before its sealed field is
    // decoded.
    WatchedSink none;
    EXPECT_FALSE(nv.decrypt_for_at_into("no.dots-enough", "session", 0, none).ok());
    EXPECT_FALSE(nv.decrypt_for_at_into("A.AAAA.AAAA", "session", 0, none).ok());
    EXPECT_TRUE(none.storage.empty());
}

TEST_P(OpenTest, MalformedTextsFailAtTheirStep) {
    const std::string t = mint("hello");
    const auto f = fields(t);
    std::string plus = t, no_pad = join({f[0], f[1].substr(0, f[1].size() - 1), f[2]});
    plus[0] = '+';
    std::string slash = t;
    slash[0] = '/';
    const std::string long_nonce = join({f[0] + "AAAA", f[1], f[2]});
    const std::string short_nonce = join({f[0].substr(4), f[1], f[2]});
    const std::pair<std::string, E> cases[] = {
        {"", E::InvalidToken},
        {"AAAA", E::InvalidToken},
        {f[0] + f[1] + f[2], E::InvalidToken},
        {f[0] + "." + f[1], E::InvalidToken},
        {"..", E::InvalidToken},                  // decodes, then the nonce length fails
        {"AAAA.AAAA.A", E::InvalidBase64},        // decoding comes before the nonce length
        {t + ".x", E::InvalidBase64},
        {t + ".AAAA", E::InvalidBase64},
        {t + ".", E::InvalidBase64},
        {no_pad, E::InvalidBase64},
        {" " + t, E::InvalidBase64},
        {t + "\n", E::InvalidBase64},
        {t.substr(0, 4) + " " + t.substr(4), E::InvalidBase64},
        {join({f[0], f[1] + "\n", f[2]}), E::InvalidBase64},
        {join({f[0], f[1], f[2].substr(0, 8) + "\r\n" + f[2].substr(8)}), E::InvalidBase64},
        {plus, E::InvalidBase64},
        {slash, E::InvalidBase64},
        {long_nonce, E::InvalidToken},
        {short_nonce, E::InvalidToken},
    };
    for (const auto& [token, want] : cases) {
        SCOPED_TRACE("token: " + token);
        expect(token, "session", 0, want);
    }
}

TEST_P(OpenTest, StandardAlphabetIsRefused) {
    std::string t;
    for (int i = 0; i < 200 && t.find_first_of("-_") == std::string::npos; ++i) t = mint("hello");
    ASSERT_NE(t.find_first_of("-_"), std::string::npos);
    for (char& c : t) c = c == '-' ? '+' : c == '_' ? '/' : c;
    expect(t, "session", 0, E::InvalidBase64);
}

TEST_P(OpenTest, SizeLimitComesFirst) {
    const std::string t = mint("hello");
    // Three canonical fields always total 2 mod 4 characters, so 32766 still
    // decodes (and fails authentication) while 32768 cannot decode.
    expect(t + std::string(32766 - t.size(), 'A'), "session", 0, E::Tampered);
    expect(t + std::string(32768 - t.size(), 'A'), "session", 0, E::InvalidBase64);
    expect(t + std::string(32769 - t.size(), 'A'), "session", 0, E::InvalidToken);
    expect(std::string(40000, '.'), "session", 0, E::InvalidToken);
}

TEST_P(OpenTest, OtherBackendIsInvalidTokenAndOtherKeyIsTampered) {
    Norvane foreign = Norvane::create(other(GetParam()), key);
    auto t = foreign.encrypt(test::bytes_of("x"), std::nullopt, std::nullopt);
    ASSERT_TRUE(t.ok());
    expect(*t, "session", 0, E::InvalidToken);

    Norvane stranger = Norvane::create(GetParam(), test::make_key(0xfeed, 0xbeee));
    auto s = stranger.encrypt(test::bytes_of("x"), std::nullopt, std::nullopt);
    ASSERT_TRUE(s.ok());
    expect(*s, "session", 0, E::Tampered);
}

TEST_P(OpenTest, EverySingleCharacterChangeThatDecodesIsTampered) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const std::string t = mint("hello", 2000000000);
    int tried = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '.' || t[i] == '=') continue;
        for (char c : alphabet) {
            if (c == t[i]) continue;
            std::string m = t;
            m[i] = c;
            const auto f = fields(m);
            if (!base64url::decode(f[0]) || !base64url::decode(f[1]) || !base64url::decode(f[2])) continue;
            ++tried;
            auto r = nv.decrypt_for_at(m, "session", 0);
            ASSERT_FALSE(r.ok()) << "position " << i << " char " << c;
            ASSERT_EQ(r.error(), E::Tampered) << "position " << i << " char " << c;
        }
    }
    EXPECT_GT(tried, static_cast<int>(t.size()) * 40);
}

TEST_P(OpenTest, ExpiryBoundaries) {
    const std::string e1000 = mint("a", 1000), emax = mint("a", U64_MAX), never = mint("a"), e1 = mint("a", 1);
    struct Case {
        const std::string& token;
        std::uint64_t at;
        std::optional<E> want;
    };
    const Case cases[] = {
        {e1000, 0, std::nullopt},  {e1000, 999, std::nullopt},       {e1000, 1000, E::Expired},
        {e1000, 1001, E::Expired}, {e1000, U64_MAX, E::Expired},     {e1, 0, std::nullopt},
        {e1, 1, E::Expired},       {emax, U64_MAX - 1, std::nullopt}, {emax, U64_MAX, E::Expired},
        {never, 0, std::nullopt},  {never, U64_MAX, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.at));
        expect(c.token, "session", c.at, c.want, "a");
    }
}

TEST_P(OpenTest, PurposeMustMatchExactly) {
    const std::string t = mint("p");
    expect(t, "session", 0, std::nullopt, "p");
    const std::string_view wrongs[] = {"Session", "SESSION", "session ", " session",
                                       "sessio",  "",        "sessions", std::string_view("session\0", 8)};
    for (std::string_view wrong : wrongs) {
        SCOPED_TRACE(std::string(wrong));
        expect(t, wrong, 0, E::WrongPurpose);
    }
    const std::string api = mint("p", std::nullopt, "api \xc3\xa9");
    expect(api, "api \xc3\xa9", 0, std::nullopt, "p");
    expect(api, "session", 0, E::WrongPurpose);
    expect(api, "api e\xcc\x81", 0, E::WrongPurpose);  // no normalisation
}

TEST_P(OpenTest, AuthenticityFirstThenPurposeThenExpiry) {
    const std::string t = mint("data", 100, "api");
    expect(t, "session", 200, E::WrongPurpose);
    expect(t, "api", 200, E::Expired);
    auto f = fields(t);
    f[2][0] = f[2][0] == 'A' ? 'B' : 'A';
    expect(join(f), "api", 200, E::Tampered);
    expect(join(f), "session", 200, E::Tampered);
    // Changing the readable context (here its purpose) is tampering too.
    auto g = fields(t);
    const Bytes other_record = aad::write_context(100, "apj");
    g[1] = fields(encode_token({}, other_record, {}))[1];
    expect(join(g), "apj", 0, E::Tampered);
}

TEST_P(OpenTest, EmptyAndShortSealedBytes) {
    const std::string empty = mint("");
    EXPECT_EQ(fields(empty)[2].size(), 24u);
    expect(empty, "session", 0, std::nullopt, "");
    expect(empty, "session", 0, std::nullopt, "");  // opening does not consume a token
    const auto f = fields(empty);
    const Bytes fifteen(15, 0x33);
    expect(join({f[0], f[1], fields(encode_token({}, {}, fifteen))[2]}), "session", 0, E::Tampered);
    expect(join({f[0], f[1], ""}), "session", 0, E::Tampered);
}

TEST_P(OpenTest, AuthenticTokensThatMintingCannotProduce) {
    const Bytes hello = test::bytes_of("hello");
    // Records that do not parse: authentic, so InvalidToken; forged, so Tampered.
    for (const char* hex : {"", "01", "010000000000000000", "02000000000000000001" "61",
                            "00000000000000000001" "61", "01000000000000000001" "6161",
                            "01000000000000000001ff", "01000000000000000002" "61"}) {
        SCOPED_TRACE(hex);
        const std::string t = seal(test::from_hex(hex), hello);
        expect(t, "a", 0, E::InvalidToken);
        auto f = fields(t);
        f[2][0] = f[2][0] == 'A' ? 'B' : 'A';
        expect(join(f), "a", 0, E::Tampered);
    }
    // A 10-byte record: empty purpose, no expiry (accepted on reading).
    const std::string empty_purpose = seal(test::from_hex("01000000000000000000"), hello);
    expect(empty_purpose, "", U64_MAX, std::nullopt, "hello");
    expect(empty_purpose, "session", 0, E::WrongPurpose);

    // A plaintext that is not UTF-8 fails last of all.
    const Bytes not_utf8 = test::from_hex("68c3");
    const std::string bad = seal(aad::write_context(100, "session"), not_utf8);
    expect(bad, "session", 99, E::InvalidUtf8);
    expect(bad, "api", 99, E::WrongPurpose);
    expect(bad, "session", 100, E::Expired);
    const std::string good = seal(aad::write_context(0, "session"), test::bytes_of("caf\xc3\xa9"));
    expect(good, "session", U64_MAX, std::nullopt, "caf\xc3\xa9");
}

TEST_P(OpenTest, ConcurrentMintingAndOpeningOnOneValue) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([this, i, &ok] {
            const std::string data = "thread " + std::to_string(i);
            int good = 0;
            for (int n = 0; n < 200; ++n) {
                auto t = nv.encrypt(test::bytes_of(data), std::nullopt, std::nullopt);
                if (!t) continue;
                auto p = nv.decrypt_for_at(*t, "session", 0);
                good += p.ok() && test::text_of(*p) == data;
            }
            ok[i] = good;
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ok[i], 200);
}

}  // namespace
}  // namespace norvane
