// aes_backend_test.cc - the AES-256-GCM adapter on each engine this build
// and CPU can run: known answers of NIST SP 800-38D, the sealed-bytes shape,
// Tampered for every change, and the engines agreeing byte for byte.
#include "aes_backend.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

#include "test_util.h"

namespace norvane {
namespace {

using test::arr;
using test::for_each_bit_flip;
using test::from_hex;
using test::to_hex;

// The AES-256 cases (13, 14, 16) of McGrew and Viega, "The Galois/Counter Mode
// of Operation", the known answers behind NIST SP 800-38D.
TEST(AesBackend, GcmSpecificationKnownAnswers) {
    struct Case {
        const char *key, *iv, *aad, *pt, *ct, *tag;
    };
    const Case cases[] = {
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
         "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
         "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18",
         "d0d1c8a799996bf0265b98b5d48ab919"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
         "76fc6ece0f4e1768cddf8853bb2d551b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        auto key = arr<CIPHER_KEY_LEN>(c.key);
        auto iv = arr<AES_NONCE_LEN>(c.iv);
        for (const aes_backend::Engine e : aes_backend::engines()) {
            SCOPED_TRACE(aes_backend::engine_name(e));
            auto ctx = aes_backend::prepare_with(e, key);
            Bytes sealed = aes_backend::encrypt(*ctx, iv, from_hex(c.aad), from_hex(c.pt));
            EXPECT_EQ(to_hex(sealed), std::string(c.ct) + c.tag);
            auto opened = aes_backend::decrypt(*ctx, iv, sealed, from_hex(c.aad));
            ASSERT_TRUE(opened.ok());
            EXPECT_EQ(to_hex(*opened), c.pt);
        }
    }
}

// Where libsodium's engine runs, it and BearSSL's seal every length alike
// and open each other's output.
TEST(AesBackend, EnginesAgree) {
    const auto engines = aes_backend::engines();
    if (engines.size() < 2) {
        GTEST_SKIP() << "only BearSSL's engine in this build or on this CPU";
    }
    const auto key = arr<CIPHER_KEY_LEN>("8f7e6d5c4b3a29180f1e2d3c4b5a69788796a5b4c3d2e1f00112233445566778");
    auto bearssl = aes_backend::prepare_with(aes_backend::Engine::Bearssl, key);
    auto sodium = aes_backend::prepare_with(aes_backend::Engine::Sodium, key);
    const auto nonce = arr<AES_NONCE_LEN>("0102030405060708090a0b0c");
    for (std::size_t n = 0; n <= 1100; n += (n < 80 ? 1 : 97)) {
        SCOPED_TRACE(n);
        Bytes pt(n), aad(n % 270);
        for (std::size_t i = 0; i < n; ++i) pt[i] = static_cast<std::uint8_t>(i * 7 + 3);
        for (std::size_t i = 0; i < aad.size(); ++i) aad[i] = static_cast<std::uint8_t>(i * 13);
        const Bytes by_bearssl = aes_backend::encrypt(*bearssl, nonce, aad, pt);
        const Bytes by_sodium = aes_backend::encrypt(*sodium, nonce, aad, pt);
        ASSERT_EQ(to_hex(by_sodium), to_hex(by_bearssl));
        auto opened = aes_backend::decrypt(*sodium, nonce, by_bearssl, aad);
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(to_hex(*opened), to_hex(pt));
    }
}

// The engine tokens use: libsodium's on aarch64 where it can run, BearSSL's
// everywhere else.
TEST(AesBackend, ChosenEngineFollowsTheCpu) {
#if defined(__aarch64__)
    const bool sodium = aes_backend::engines().size() == 2 && std::getenv("NORVANE_FORCE_SOFTWARE") == nullptr;
    EXPECT_EQ(aes_backend::chosen_engine(), sodium ? aes_backend::Engine::Sodium : aes_backend::Engine::Bearssl);
#else
    EXPECT_EQ(aes_backend::chosen_engine(), aes_backend::Engine::Bearssl);
#endif
}

class AesBackendTest : public ::testing::TestWithParam<aes_backend::Engine> {
protected:
    std::array<std::uint8_t, CIPHER_KEY_LEN> key = arr<CIPHER_KEY_LEN>(
        "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    std::unique_ptr<const PreparedKey> ctx = aes_backend::prepare_with(GetParam(), key);
    std::array<std::uint8_t, AES_NONCE_LEN> nonce = arr<AES_NONCE_LEN>("0a0b0c0d0e0f101112131415");
    Bytes aad = from_hex("0100000000000000000773657373696f6e");

    void expect_tampered(aes_backend::Nonce n, ByteView sealed, ByteView a) {
        auto r = aes_backend::decrypt(*ctx, n, sealed, a);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), NorvaneError::Tampered);
    }
};

TEST_P(AesBackendTest, SealedBytesArePlaintextPlusTagAndOpen) {
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 64u, 1000u}) {
        SCOPED_TRACE(n);
        Bytes pt(n, 0x5a);
        Bytes sealed = aes_backend::encrypt(*ctx, nonce, aad, pt);
        ASSERT_EQ(sealed.size(), n + TAG_LEN);
        auto opened = aes_backend::decrypt(*ctx, nonce, sealed, aad);
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(opened->size(), sealed.size() - TAG_LEN);
        EXPECT_EQ(to_hex(*opened), to_hex(pt));
    }
}

TEST_P(AesBackendTest, ShortSealedBytesAreTampered) {
    for (std::size_t n = 0; n < TAG_LEN; ++n) {
        SCOPED_TRACE(n);
        expect_tampered(nonce, Bytes(n, 0), aad);
    }
}

TEST_P(AesBackendTest, EverySingleBitFlipIsTampered) {
    const Bytes pt = test::bytes_of("twenty bytes of text");
    const Bytes sealed = aes_backend::encrypt(*ctx, nonce, aad, pt);
    for_each_bit_flip(nonce, [&](const auto& n) { expect_tampered(n, sealed, aad); });
    for_each_bit_flip(aad, [&](const Bytes& a) { expect_tampered(nonce, sealed, a); });
    for_each_bit_flip(sealed, [&](const Bytes& s) { expect_tampered(nonce, s, aad); });
    Bytes longer_aad = aad;
    longer_aad.push_back(0);
    expect_tampered(nonce, sealed, longer_aad);
    expect_tampered(nonce, Bytes(sealed.begin(), sealed.end() - 1), aad);
}

// Nothing is deciphered before the tag verifies: a forged buffer is left
// exactly as it came, whichever byte was changed, and only an authentic one
// turns into plaintext.
TEST_P(AesBackendTest, OpenDeciphersOnlyAfterTheTagVerifies) {
    const Bytes pt = test::bytes_of("forty bytes of plaintext, three blocks.");
    const Bytes sealed = aes_backend::encrypt(*ctx, nonce, aad, pt);
    for_each_bit_flip(sealed, [&](const Bytes& forged) {
        Bytes buf = forged;
        ASSERT_FALSE(ctx->open(nonce, aad, buf));
        ASSERT_EQ(to_hex(buf), to_hex(forged));
    });
    Bytes buf = sealed;
    ASSERT_TRUE(ctx->open(nonce, aad, buf));
    EXPECT_EQ(to_hex(ByteView(buf.data(), pt.size())), to_hex(pt));
}

TEST_P(AesBackendTest, OtherKeyIsTampered) {
    auto other_key = key;
    other_key[31] ^= 1;
    auto other = aes_backend::prepare_with(GetParam(), other_key);
    const Bytes sealed = aes_backend::encrypt(*other, nonce, aad, test::bytes_of("x"));
    expect_tampered(nonce, sealed, aad);
}

// Each engine this build and CPU can run; libsodium's is absent where it
// cannot, and the test names say which ran.
INSTANTIATE_TEST_SUITE_P(Engines, AesBackendTest, ::testing::ValuesIn(aes_backend::engines().begin(),
                                                                      aes_backend::engines().end()),
                         [](const auto& info) { return std::string(aes_backend::engine_name(info.param)); });

}  // namespace
}  // namespace norvane
