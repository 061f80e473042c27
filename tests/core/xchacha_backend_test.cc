// xchacha_backend_test.cc - the XChaCha20-Poly1305 adapter on each of its
// engines: the draft's known answer, the sealed-bytes shape, Tampered for
// every change, a forged buffer left as it came, and the engines agreeing
// byte for byte with each other and with libsodium's own XChaCha20-Poly1305.
#include "xchacha_backend.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace norvane {
namespace {

using test::arr;
using test::for_each_bit_flip;
using test::from_hex;
using test::to_hex;
using xchacha_backend::Engine;

Bytes seal_with(Engine e, ByteView key, ByteView nonce, ByteView aad, ByteView pt) {
    Bytes out(pt.size() + TAG_LEN);
    XChaChaKey(CipherKeyView(key.data(), CIPHER_KEY_LEN)).seal_with(e, nonce, aad, pt, out.data());
    return out;
}

// open_with opens a copy of `sealed`; the copy is returned either way, so
// that a refusal can be checked to have left it alone.
bool open_with(Engine e, ByteView key, ByteView nonce, ByteView aad, Bytes& buf) {
    return XChaChaKey(CipherKeyView(key.data(), CIPHER_KEY_LEN)).open_with(e, nonce, aad, buf);
}

std::string engine_param_name(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::Sodium ? "Sodium" : "Bearssl";
}

// draft-irtf-cfrg-xchacha, appendix A.3.1, through the public calls and
// through each engine.
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
    for (const Engine e : xchacha_backend::kAllEngines) {
        SCOPED_TRACE(xchacha_backend::engine_name(e));
        EXPECT_EQ(to_hex(seal_with(e, key, nonce, aad, pt)), want);
        Bytes buf = sealed;
        ASSERT_TRUE(open_with(e, key, nonce, aad, buf));
        EXPECT_EQ(test::text_of(ByteView(buf.data(), pt.size())), test::text_of(pt));
    }
}

// Payloads below the measured boundary stay on BearSSL, the others go to
// libsodium; a token's largest payload does.
TEST(XChaChaBackend, EngineFollowsThePayloadLength) {
    static_assert(xchacha_backend::SODIUM_MIN_LEN > 0 && xchacha_backend::SODIUM_MIN_LEN <= MAX_PLAINTEXT_LEN);
    EXPECT_EQ(xchacha_backend::engine_for(0), Engine::Bearssl);
    EXPECT_EQ(xchacha_backend::engine_for(xchacha_backend::SODIUM_MIN_LEN - 1), Engine::Bearssl);
    EXPECT_EQ(xchacha_backend::engine_for(xchacha_backend::SODIUM_MIN_LEN), Engine::Sodium);
    EXPECT_EQ(xchacha_backend::engine_for(MAX_PLAINTEXT_LEN), Engine::Sodium);
}

class XChaChaBackendEngine : public ::testing::TestWithParam<Engine> {
protected:
    std::array<std::uint8_t, CIPHER_KEY_LEN> key =
        arr<CIPHER_KEY_LEN>("1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100");
    std::array<std::uint8_t, XCHACHA_NONCE_LEN> nonce =
        arr<XCHACHA_NONCE_LEN>("000102030405060708090a0b0c0d0e0f1011121314151617");
    Bytes aad = from_hex("0100000000000000000773657373696f6e");

    // expect_tampered opens `sealed` with the engine under test and
    // expects a refusal that leaves the buffer as it was.
    void expect_tampered(ByteView n, ByteView sealed, ByteView a, ByteView k) {
        Bytes buf(sealed.begin(), sealed.end());
        ASSERT_FALSE(open_with(GetParam(), k, n, a, buf));
        ASSERT_EQ(to_hex(buf), to_hex(sealed));
    }
    void expect_tampered(ByteView n, ByteView sealed, ByteView a) { expect_tampered(n, sealed, a, key); }
};

TEST_P(XChaChaBackendEngine, SealedBytesArePlaintextPlusTagAndOpen) {
    const std::size_t lengths[] = {0, 1, 63, 64, 65, 1000, xchacha_backend::SODIUM_MIN_LEN - 1,
                                   xchacha_backend::SODIUM_MIN_LEN, MAX_PLAINTEXT_LEN};
    for (const std::size_t n : lengths) {
        SCOPED_TRACE(n);
        const Bytes pt(n, 0xa5);
        Bytes buf = seal_with(GetParam(), key, nonce, aad, pt);
        ASSERT_EQ(buf.size(), n + TAG_LEN);
        ASSERT_TRUE(open_with(GetParam(), key, nonce, aad, buf));
        EXPECT_EQ(to_hex(ByteView(buf.data(), n)), to_hex(pt));
    }
}

TEST_P(XChaChaBackendEngine, ShortSealedBytesAreTampered) {
    for (std::size_t n = 0; n < TAG_LEN; ++n) {
        SCOPED_TRACE(n);
        expect_tampered(nonce, Bytes(n, 0), aad);
    }
}

// Nothing is deciphered before the tag verifies: a forged buffer is left
// exactly as it came, whichever bit was changed, and only an authentic one
// turns into plaintext. Both halves of the nonce matter: bytes 0-15 feed
// HChaCha20, 16-23 ChaCha20.
TEST_P(XChaChaBackendEngine, EverySingleBitFlipIsRefusedAndLeavesTheBufferAlone) {
    const Bytes pt = test::bytes_of("seventy bytes: more than one ChaCha20 block of sixty-four bytes....");
    const Bytes sealed = seal_with(GetParam(), key, nonce, aad, pt);
    for_each_bit_flip(sealed, [&](const Bytes& s) { expect_tampered(nonce, s, aad); });
    for_each_bit_flip(nonce, [&](const auto& n) { expect_tampered(n, sealed, aad); });
    for_each_bit_flip(aad, [&](const Bytes& a) { expect_tampered(nonce, sealed, a); });
    for_each_bit_flip(key, [&](const auto& k) { expect_tampered(nonce, sealed, aad, k); });
    expect_tampered(nonce, sealed, ByteView());
    expect_tampered(nonce, ByteView(sealed.data(), sealed.size() - 1), aad);
    Bytes buf = sealed;
    ASSERT_TRUE(open_with(GetParam(), key, nonce, aad, buf));
    EXPECT_EQ(to_hex(ByteView(buf.data(), pt.size())), to_hex(pt));
}

// A long payload, past libsodium's multi-block code paths: a flip in its
// last block is caught and leaves it alone too.
TEST_P(XChaChaBackendEngine, LongPayloadFlipIsRefused) {
    Bytes pt(MAX_PLAINTEXT_LEN);
    for (std::size_t i = 0; i < pt.size(); ++i) pt[i] = static_cast<std::uint8_t>(i * 7);
    Bytes sealed = seal_with(GetParam(), key, nonce, aad, pt);
    for (const std::size_t at : {std::size_t{0}, pt.size() / 2, pt.size() - 1, sealed.size() - 1}) {
        SCOPED_TRACE(at);
        Bytes forged = sealed;
        forged[at] ^= 0x80;
        expect_tampered(nonce, forged, aad);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, XChaChaBackendEngine, ::testing::ValuesIn(xchacha_backend::kAllEngines),
                         engine_param_name);

// Random keys, nonces, associated data and payloads of many lengths: each
// engine seals to exactly what libsodium's own XChaCha20-Poly1305 (which
// derives its subkey and nonce by itself) gives, the public seal agrees,
// and each engine opens what the other sealed.
TEST(XChaChaBackendEngines, AgreeByteForByteOnRandomInputs) {
    std::mt19937 rng(1313);
    auto random_bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& v : b) v = static_cast<std::uint8_t>(rng());
        return b;
    };
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (const std::size_t n : {383u, 384u, 511u, 512u, 513u, 767u, 768u, 1000u, 1023u, 1024u, 1025u, 2048u, 4095u,
                                4096u, 8191u, 16383u, 16384u}) {
        lengths.push_back(n);
    }
    for (const std::size_t n : {xchacha_backend::SODIUM_MIN_LEN - 1, xchacha_backend::SODIUM_MIN_LEN,
                                xchacha_backend::SODIUM_MIN_LEN + 1}) {
        lengths.push_back(n);
    }
    for (int i = 0; i < 60; ++i) lengths.push_back(rng() % (MAX_PLAINTEXT_LEN + 1));

    for (const std::size_t n : lengths) {
        SCOPED_TRACE(n);
        const Bytes key = random_bytes(CIPHER_KEY_LEN);
        const Bytes nonce = random_bytes(XCHACHA_NONCE_LEN);
        const Bytes aad = random_bytes(rng() % 266);
        const Bytes pt = random_bytes(n);

        Bytes want(n + TAG_LEN);
        ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_encrypt_detached(want.data(), want.data() + n, nullptr,
                                                                      pt.data(), n, aad.data(), aad.size(), nullptr,
                                                                      nonce.data(), key.data()),
                  0);
        const Bytes bearssl = seal_with(Engine::Bearssl, key, nonce, aad, pt);
        const Bytes sodium = seal_with(Engine::Sodium, key, nonce, aad, pt);
        ASSERT_EQ(to_hex(bearssl), to_hex(want));
        ASSERT_EQ(to_hex(sodium), to_hex(want));
        ASSERT_EQ(to_hex(xchacha_backend::encrypt(CipherKeyView(key.data(), CIPHER_KEY_LEN),
                                                  xchacha_backend::Nonce(nonce.data(), XCHACHA_NONCE_LEN), aad, pt)),
                  to_hex(want));

        Bytes by_sodium = bearssl;
        ASSERT_TRUE(open_with(Engine::Sodium, key, nonce, aad, by_sodium));
        Bytes by_bearssl = sodium;
        ASSERT_TRUE(open_with(Engine::Bearssl, key, nonce, aad, by_bearssl));
        ASSERT_EQ(to_hex(ByteView(by_sodium.data(), n)), to_hex(pt));
        ASSERT_EQ(to_hex(ByteView(by_bearssl.data(), n)), to_hex(pt));
    }
}

}  // namespace
}  // namespace norvane
