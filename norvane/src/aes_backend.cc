#include "aes_backend.h"

#include <cstring>

#include "ct.h"
#include "norvane/fault.h"
#include "primitives.h"
#include "stack_scrub.h"

namespace norvane {
namespace {

// Counter block 1 (J0) encrypts the tag; the data starts at block 2.
constexpr std::uint32_t TAG_BLOCK = 1;
constexpr std::uint32_t FIRST_DATA_BLOCK = 2;

const std::uint8_t* nonnull(const std::uint8_t* p) noexcept {
    static const std::uint8_t empty = 0;
    return p != nullptr ? p : &empty;
}

void put_be64(std::uint8_t* out, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
    }
}

// Each BearSSL call has a fixed cost that dominates for short messages. A
// ciphertext of up to SHORT_LEN bytes (and associated data of up to
// SHORT_AAD_LEN, a context record always) therefore takes one CTR call, for
// the tag's block and the data's keystream together, and one GHASH call,
// over the associated data, the ciphertext and the lengths assembled in one
// buffer. Longer ones are transformed in place, the tag's block apart.
constexpr std::size_t SHORT_LEN = 1024;
constexpr std::size_t SHORT_AAD_LEN = 272;

constexpr std::size_t round16(std::size_t n) noexcept { return (n + 15) & ~std::size_t{15}; }

// xor_into sets dst = a ^ b over n bytes, a word at a time; dst may be a,
// or lie before b (each word is read before its place is written).
void xor_into(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(dst + i, &x, 8);
    }
    for (; i < n; ++i) {
        dst[i] = static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
}

}  // namespace

AesGcmContext::AesGcmContext(CipherKeyView cipher_key) noexcept {
    const Primitives& p = primitives();
    p.aes_ctr->init(&keys_.vtable, cipher_key.data(), cipher_key.size());
    // H is the encryption of the zero block: CTR over zeros with a zero IV
    // and counter.
    const std::uint8_t zero_iv[AES_NONCE_LEN] = {};
    std::memset(h_, 0, sizeof h_);
    ctr(zero_iv, 0, h_, sizeof h_);
    ghash_ = p.ghash;
    // The key schedule and the block encryption leave the cipher key and
    // round keys in their stack frames.
    scrub_stack(SETUP_SCRUB_LEN);
}

AesGcmContext::~AesGcmContext() {
    secure_wipe(&keys_, sizeof keys_);
    secure_wipe(h_, sizeof h_);
}

void AesGcmContext::ctr(const std::uint8_t* nonce, std::uint32_t counter, std::uint8_t* data,
                        std::size_t n) const noexcept {
    keys_.vtable->run(&keys_.vtable, nonce, counter, data, n);
}

// ghash writes GHASH_H over the zero-padded associated data, the
// zero-padded ciphertext and their bit lengths into y.
// The scratch room is the caller's, so that it lies in the caller's frame
// and not between that frame and the library's, which the caller's scrub
// then reaches with less depth.
void AesGcmContext::ghash(ByteView aad, const std::uint8_t* ciphertext, std::size_t n, std::uint8_t* y,
                          std::uint8_t* scratch) const noexcept {
    std::memset(y, 0, 16);
    std::uint8_t lengths[16];
    put_be64(lengths, static_cast<std::uint64_t>(aad.size()) * 8);
    put_be64(lengths + 8, static_cast<std::uint64_t>(n) * 8);
    if (aad.size() <= SHORT_AAD_LEN && n <= SHORT_LEN) {
        // Associated data and ciphertext are public; the buffer needs no wiping.
        static_assert(GHASH_SCRATCH_LEN == round16(SHORT_AAD_LEN) + round16(SHORT_LEN) + 16);
        std::uint8_t* const all = scratch;
        const std::size_t aad_room = round16(aad.size()), ct_room = round16(n);
        // Each part's last block is zeroed before the part is copied in, so
        // that its padding is zero.
        if (aad_room > 0) {
            std::memset(all + aad_room - 16, 0, 16);
            std::memcpy(all, aad.data(), aad.size());
        }
        if (ct_room > 0) {
            std::memset(all + aad_room + ct_room - 16, 0, 16);
            std::memcpy(all + aad_room, ciphertext, n);
        }
        std::memcpy(all + aad_room + ct_room, lengths, 16);
        ghash_(y, h_, all, aad_room + ct_room + 16);
        return;
    }
    ghash_(y, h_, nonnull(aad.data()), aad.size());
    ghash_(y, h_, nonnull(ciphertext), n);
    ghash_(y, h_, lengths, sizeof lengths);
}

void AesGcmContext::seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const {
    if (nonce.size() != AES_NONCE_LEN) {
        throw InternalFault("a nonce of the wrong length reached the seal");
    }
    const std::size_t n = plaintext.size();
    std::uint8_t y[16];
    std::uint8_t scratch[GHASH_SCRATCH_LEN];
    if (n <= SHORT_LEN && aad.size() <= SHORT_AAD_LEN) {
        // One CTR call makes AES(K, J0) and the data's keystream from block
        // 2 on, in the output's own n + 16 bytes; the first block is kept
        // aside and the ciphertext written over the keystream from the
        // front (each byte is read 16 places after where it is written),
        // then the tag over the rest: none of the keystream stays.
        std::memset(out, 0, TAG_LEN + n);
        ctr(nonce.data(), TAG_BLOCK, out, TAG_LEN + n);
        std::uint8_t tag_stream[TAG_LEN];
        std::memcpy(tag_stream, out, TAG_LEN);
        xor_into(out, plaintext.data(), out + TAG_LEN, n);
        ghash(aad, out, n, y, scratch);
        xor_into(out + n, y, tag_stream, TAG_LEN);
        secure_wipe(tag_stream, sizeof tag_stream);
    } else {
        copy_bytes(out, plaintext.data(), n);
        ctr(nonce.data(), FIRST_DATA_BLOCK, out, n);
        ghash(aad, out, n, y, scratch);
        std::memcpy(out + n, y, TAG_LEN);
        ctr(nonce.data(), TAG_BLOCK, out + n, TAG_LEN);
    }
    secure_wipe(y, sizeof y);
    // The CTR and GHASH calls leave round keys, H and values derived from
    // it in their frames.
    scrub_stack(primitives().aes_scrub_len);
}

bool AesGcmContext::open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                                  Tag expected) const noexcept {
    if (nonce.size() != AES_NONCE_LEN) {
        return false;
    }
    const std::size_t n = ciphertext.size();
    std::uint8_t tag[TAG_LEN];
    std::uint8_t scratch[GHASH_SCRATCH_LEN];
    ghash(aad, ciphertext.data(), n, tag, scratch);
    bool ok;
    if (n <= SHORT_LEN && aad.size() <= SHORT_AAD_LEN) {
        // The keystream is made, in the room GHASH is done with, and
        // combined with the ciphertext only once the tag has verified.
        static_assert(GHASH_SCRATCH_LEN >= TAG_LEN + SHORT_LEN);
        std::uint8_t* const stream = scratch;
        std::memset(stream, 0, TAG_LEN + n);
        ctr(nonce.data(), TAG_BLOCK, stream, TAG_LEN + n);
        xor_into(tag, tag, stream, TAG_LEN);
        ok = ct::equal16(tag, expected.data());
        // The verdict is public: a forger learns it from the refusal anyway.
        CONSTTIME_DECLASSIFY(&ok, sizeof ok);
        if (ok) {
            xor_into(ciphertext.data(), ciphertext.data(), stream + TAG_LEN, n);
        }
        secure_wipe(stream, TAG_LEN + n);
    } else {
        ctr(nonce.data(), TAG_BLOCK, tag, TAG_LEN);
        ok = ct::equal16(tag, expected.data());
        CONSTTIME_DECLASSIFY(&ok, sizeof ok);
        if (ok) {
            // Only an authentic ciphertext is deciphered.
            ctr(nonce.data(), FIRST_DATA_BLOCK, ciphertext.data(), n);
        }
    }
    secure_wipe(tag, sizeof tag);
    scrub_stack(primitives().aes_scrub_len);
    return ok;
}

#if NORVANE_SODIUM_AES_GCM
SodiumAesGcmKey::SodiumAesGcmKey(CipherKeyView cipher_key) noexcept {
    crypto_aead_aes256gcm_beforenm(&state_, cipher_key.data());
    // The key expansion leaves round keys in its frames.
    scrub_stack(SETUP_SCRUB_LEN);
}

SodiumAesGcmKey::~SodiumAesGcmKey() { secure_wipe(&state_, sizeof state_); }

void SodiumAesGcmKey::seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const {
    if (nonce.size() != AES_NONCE_LEN) {
        throw InternalFault("a nonce of the wrong length reached the seal");
    }
    const std::size_t n = plaintext.size();
    crypto_aead_aes256gcm_encrypt_detached_afternm(out, out + n, nullptr, nonnull(plaintext.data()), n,
                                                   nonnull(aad.data()), aad.size(), nullptr, nonce.data(), &state_);
    scrub_stack(SODIUM_AES_SCRUB_LEN);
}

bool SodiumAesGcmKey::open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                                    Tag tag) const noexcept {
    if (nonce.size() != AES_NONCE_LEN) {
        return false;
    }
    const std::size_t n = ciphertext.size();
    std::uint8_t empty = 0;
    std::uint8_t* const data = n > 0 ? ciphertext.data() : &empty;
    // Without a message buffer libsodium only computes and compares the tag.
    bool ok = crypto_aead_aes256gcm_decrypt_detached_afternm(nullptr, nullptr, data, n, tag.data(),
                                                            nonnull(aad.data()), aad.size(), nonce.data(),
                                                            &state_) == 0;
    // The verdict is public: a forger learns it from the refusal anyway.
    CONSTTIME_DECLASSIFY(&ok, sizeof ok);
    if (ok && n > 0) {
        // Only an authentic ciphertext is deciphered, in place (libsodium
        // hashes each block before it writes over it).
        ok = crypto_aead_aes256gcm_decrypt_detached_afternm(data, nullptr, data, n, tag.data(), nonnull(aad.data()),
                                                            aad.size(), nonce.data(), &state_) == 0;
    }
    scrub_stack(SODIUM_AES_SCRUB_LEN);
    return ok;
}
#endif

namespace aes_backend {

const char* engine_name(Engine e) noexcept { return e == Engine::Sodium ? "libsodium" : "bearssl"; }

std::span<const Engine> engines() noexcept {
    static constexpr Engine BOTH[] = {Engine::Bearssl, Engine::Sodium};
#if NORVANE_SODIUM_AES_GCM
    // sodium_init, which finds the CPU's features, comes first.
    static const bool sodium = primitives().sodium_ready && crypto_aead_aes256gcm_is_available() != 0;
#else
    constexpr bool sodium = false;
#endif
    return std::span<const Engine>(BOTH, sodium ? 2 : 1);
}

Engine chosen_engine() noexcept {
#if defined(__aarch64__)
    if (!software_forced() && engines().size() == 2) {
        return Engine::Sodium;
    }
#endif
    return Engine::Bearssl;
}

std::unique_ptr<AesGcmContext> prepare(CipherKeyView cipher_key) {
    return std::make_unique<AesGcmContext>(cipher_key);
}

std::unique_ptr<const PreparedKey> prepare_with(Engine engine, CipherKeyView cipher_key) {
#if NORVANE_SODIUM_AES_GCM
    if (engine == Engine::Sodium) {
        if (engines().size() != 2) {
            throw InternalFault("libsodium's AES-256-GCM asked for where the CPU has none");
        }
        return std::make_unique<SodiumAesGcmKey>(cipher_key);
    }
#else
    if (engine == Engine::Sodium) {
        throw InternalFault("libsodium's AES-256-GCM asked for in a build without it");
    }
#endif
    return prepare(cipher_key);
}

std::unique_ptr<const PreparedKey> prepare_chosen(CipherKeyView cipher_key) {
    return prepare_with(chosen_engine(), cipher_key);
}

Bytes encrypt(const PreparedKey& key, Nonce nonce, ByteView aad, ByteView plaintext) {
    return seal_to_bytes(key, nonce, aad, plaintext);
}

Result<Bytes> decrypt(const PreparedKey& key, Nonce nonce, ByteView sealed, ByteView aad) {
    return open_to_bytes(key, nonce, sealed, aad);
}

}  // namespace aes_backend
}  // namespace norvane
