// xchacha_backend_test.cc - HChaCha20 and the XChaCha20-Poly1305 adapter:
// the draft's known answers, the sealed-bytes shape, Tampered for every change.
#include "xchacha_backend.h"

#include <gtest/gtest.h>

#include <array>

#include "hchacha20.h"
#include "test_util.h"

namespace norvane {
namespace {

using test::arr;
using test::for_each_bit_flip;
using test::from_hex;
using test::to_hex;

// draft-irtf-cfrg-xchacha, section 2.2.1.
TEST(HChaCha20, DraftTestVector) {
    auto key = arr<32>("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    auto nonce = arr<16>("000000090000004a0000000031415927");
    std::uint8_t out[32];
    hchacha20(key.data(), nonce.data(), out);
    EXPECT_EQ(to_hex(ByteView(out, 32)), "82413b4227b27bfed30e42508a877d73a0f9e4d58a74a853c12ec41326d3ecdc");
}

// draft-irtf-cfrg-xchacha, appendix A.3.1.
TEST(XChaChaBackend, DraftAeadTestVector) {
    auto key = arr<CIPHER_KEY_LEN>("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    auto nonce = arr<XCHACHA_NONCE_LEN>("404142434445464748494a4b4c4d4e4f5051525354555657");
    const Bytes aad = from_hex("50515253c0c1c2c3c4c5c6c7");
    const Bytes pt = test::bytes_of(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.");
    const std::string want =
        "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39"
        "ae64c6708c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff9"
        "21f9664c97637da9768812f615c68b13b52e"
        "c0875924c1c7987947deafd8780acf49";
    Bytes sealed = xchacha_backend::encrypt(key, nonce, aad, pt);
    EXPECT_EQ(to_hex(sealed), want);
    auto opened = xchacha_backend::decrypt(key, nonce, sealed, aad);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(test::text_of(*opened), test::text_of(pt));
}

class XChaChaBackendTest : public ::testing::Test {
protected:
    std::array<std::uint8_t, CIPHER_KEY_LEN> key =
        arr<CIPHER_KEY_LEN>("1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100");
    std::array<std::uint8_t, XCHACHA_NONCE_LEN> nonce =
        arr<XCHACHA_NONCE_LEN>("000102030405060708090a0b0c0d0e0f1011121314151617");
    Bytes aad = from_hex("0100000000000000000773657373696f6e");

    void expect_tampered(xchacha_backend::Nonce n, ByteView sealed, ByteView a,
                         xchacha_backend::KeyView k) {
        auto r = xchacha_backend::decrypt(k, n, sealed, a);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), NorvaneError::Tampered);
    }
    void expect_tampered(xchacha_backend::Nonce n, ByteView sealed, ByteView a) {
        expect_tampered(n, sealed, a, key);
    }
};

TEST_F(XChaChaBackendTest, SealedBytesArePlaintextPlusTagAndOpen) {
    for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 1000u}) {
        SCOPED_TRACE(n);
        Bytes pt(n, 0xa5);
        Bytes sealed = xchacha_backend::encrypt(key, nonce, aad, pt);
        ASSERT_EQ(sealed.size(), n + TAG_LEN);
        auto opened = xchacha_backend::decrypt(key, nonce, sealed, aad);
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(opened->size(), sealed.size() - TAG_LEN);
        EXPECT_EQ(to_hex(*opened), to_hex(pt));
    }
}

TEST_F(XChaChaBackendTest, ShortSealedBytesAreTampered) {
    for (std::size_t n = 0; n < TAG_LEN; ++n) {
        SCOPED_TRACE(n);
        expect_tampered(nonce, Bytes(n, 0), aad);
    }
}

// Nothing is deciphered before the tag verifies: a forged buffer is left
// exactly as it came, whichever byte was changed, and only an authentic one
// turns into plaintext.
TEST_F(XChaChaBackendTest, OpenDeciphersOnlyAfterTheTagVerifies) {
    const Bytes pt = test::bytes_of("seventy bytes: more than one ChaCha20 block of sixty-four bytes....");
    const Bytes sealed = xchacha_backend::encrypt(key, nonce, aad, pt);
    for_each_bit_flip(sealed, [&](const Bytes& forged) {
        Bytes buf = forged;
        ASSERT_FALSE(XChaChaKey(key).open(nonce, aad, buf));
        ASSERT_EQ(to_hex(buf), to_hex(forged));
    });
    Bytes buf = sealed;
    ASSERT_TRUE(XChaChaKey(key).open(nonce, aad, buf));
    EXPECT_EQ(to_hex(ByteView(buf.data(), pt.size())), to_hex(pt));
}

TEST_F(XChaChaBackendTest, EverySingleBitFlipIsTampered) {
    const Bytes pt = test::bytes_of("twenty bytes of text");
    const Bytes sealed = xchacha_backend::encrypt(key, nonce, aad, pt);
    // Both halves of the nonce matter: bytes 0-15 feed HChaCha20, 16-23 ChaCha20.
    for_each_bit_flip(nonce, [&](const auto& n) { expect_tampered(n, sealed, aad); });
    for_each_bit_flip(aad, [&](const Bytes& a) { expect_tampered(nonce, sealed, a); });
    for_each_bit_flip(sealed, [&](const Bytes& s) { expect_tampered(nonce, s, aad); });
    for_each_bit_flip(key, [&](const auto& k) { expect_tampered(nonce, sealed, aad, k); });
    expect_tampered(nonce, sealed, ByteView());
    expect_tampered(nonce, Bytes(sealed.begin(), sealed.end() - 1), aad);
}

}  // namespace
}  // namespace norvane
