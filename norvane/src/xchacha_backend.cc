#include "xchacha_backend.h"

#include <sodium.h>

#include <cstring>

#include "ct.h"
#include "norvane/fault.h"
#include "primitives.h"
#include "stack_scrub.h"

namespace norvane {
namespace {

using xchacha_backend::Engine;

// CallState is the per-call cipher state: the HChaCha20 subkey and the
// ChaCha20 nonce 0^4 || nonce[16..24], which either engine takes. It is
// wiped on every way out.
struct CallState {
    SecretArray<32> subkey;
    std::uint8_t iv[12];
    CallState(const CipherKey& key, ByteView nonce) noexcept {
        crypto_core_hchacha20(subkey.data(), nonce.data(), key.data(), nullptr);
        std::memset(iv, 0, 4);
        std::memcpy(iv + 4, nonce.data() + 16, 8);
    }
    ~CallState() { secure_wipe(iv, sizeof iv); }
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;
};

// Both libraries may read the pointers even for empty inputs; give them a
// real one.
const std::uint8_t* nonnull(const std::uint8_t* p) noexcept {
    static const std::uint8_t empty = 0;
    return p != nullptr ? p : &empty;
}

// Block 0 of the keystream keys Poly1305; the payload starts at block 1.
constexpr std::uint32_t FIRST_DATA_BLOCK = 1;

// key_block_only is the ChaCha20 that opening hands to BearSSL's Poly1305:
// it makes the one-time Poly1305 key from block 0 and leaves the payload
// (block 1 on) as it is, so that the call computes the tag over the
// ciphertext and deciphers nothing. The counter is public; branching on it
// is fine.
std::uint32_t key_block_only(const void* key, const void* iv, std::uint32_t cc, void* data, std::size_t len) {
    if (cc != 0) {
        return cc;
    }
    return primitives().chacha20(key, iv, cc, data, len);
}

// seal_in_place turns the n plaintext bytes at `data` into ciphertext and
// writes the tag after them.
void seal_in_place(Engine engine, const Primitives& p, const CallState& st, ByteView aad, std::uint8_t* data,
                   std::size_t n) noexcept {
    if (engine == Engine::Sodium) {
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(data, data + n, nullptr, nonnull(data), n,
                                                           nonnull(aad.data()), aad.size(), nullptr, st.iv,
                                                           st.subkey.data());
    } else {
        p.poly1305(st.subkey.data(), st.iv, data, n, nonnull(aad.data()), aad.size(), data + n, p.chacha20, 1);
    }
}

// tag_verifies computes the tag of the n ciphertext bytes at `data` and
// compares it with `expected` in constant time, deciphering nothing. The
// verdict is a secret until the caller declassifies it.
bool tag_verifies(Engine engine, const Primitives& p, const CallState& st, ByteView aad, std::uint8_t* data,
                  std::size_t n, const std::uint8_t* expected) noexcept {
    if (engine == Engine::Sodium) {
        // Without a plaintext buffer, libsodium's open only computes and
        // compares the tag (crypto_verify_16). Given one, it would zero it
        // on a mismatch, and the ciphertext is to stay as it came.
        const int rc = crypto_aead_chacha20poly1305_ietf_decrypt_detached(
            nullptr, nullptr, nonnull(data), n, expected, nonnull(aad.data()), aad.size(), st.iv, st.subkey.data());
        return rc == 0;
    }
    std::uint8_t tag[TAG_LEN];
    p.poly1305(st.subkey.data(), st.iv, data, n, nonnull(aad.data()), aad.size(), tag, &key_block_only, 0);
    const bool ok = ct::equal16(tag, expected);
    secure_wipe(tag, sizeof tag);
    return ok;
}

// decipher runs the keystream from block 1 over the n bytes at `data`.
void decipher(Engine engine, const Primitives& p, const CallState& st, std::uint8_t* data, std::size_t n) noexcept {
    if (engine == Engine::Sodium) {
        crypto_stream_chacha20_ietf_xor_ic(data, data, n, st.iv, FIRST_DATA_BLOCK, st.subkey.data());
    } else {
        p.chacha20(st.subkey.data(), st.iv, FIRST_DATA_BLOCK, data, n);
    }
}

// scrub_len is how deep the engine's calls reach below the adapter.
constexpr std::size_t scrub_len(Engine engine) noexcept {
    return engine == Engine::Sodium ? SODIUM_SCRUB_LEN : BEARSSL_CHACHA_SCRUB_LEN;
}

}  // namespace

namespace xchacha_backend {

const char* engine_name(Engine e) noexcept { return e == Engine::Sodium ? "libsodium" : "bearssl"; }

Engine engine_for(std::size_t n) noexcept {
    return n >= SODIUM_MIN_LEN && primitives().sodium_ready ? Engine::Sodium : Engine::Bearssl;
}

}  // namespace xchacha_backend

XChaChaKey::XChaChaKey(CipherKeyView cipher_key) noexcept {
    std::memcpy(key_.data(), cipher_key.data(), CIPHER_KEY_LEN);
}

void XChaChaKey::seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const {
    seal_with(xchacha_backend::engine_for(plaintext.size()), nonce, aad, plaintext, out);
}

bool XChaChaKey::open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                               Tag tag) const noexcept {
    return open_detached_with(xchacha_backend::engine_for(ciphertext.size()), nonce, aad, ciphertext, tag);
}

void XChaChaKey::seal_with(Engine engine, ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const {
    if (nonce.size() != XCHACHA_NONCE_LEN) {
        throw InternalFault("a nonce of the wrong length reached the seal");
    }
    const Primitives& p = primitives();  // sodium_init before libsodium's first use
    const std::size_t n = plaintext.size();
    copy_bytes(out, plaintext.data(), n);
    CallState st(key_, nonce);
    seal_in_place(engine, p, st, aad, out, n);
    // HChaCha20 and ChaCha20 leave words of the subkey in their frames (in
    // BearSSL's case its whole state), Poly1305 its one-time key.
    scrub_stack(scrub_len(engine));
}

bool XChaChaKey::open_with(Engine engine, ByteView nonce, ByteView aad, std::span<std::uint8_t> sealed) const noexcept {
    if (sealed.size() < TAG_LEN) {
        return false;
    }
    const std::size_t n = sealed.size() - TAG_LEN;
    return open_detached_with(engine, nonce, aad, sealed.first(n), Tag(sealed.data() + n, TAG_LEN));
}

bool XChaChaKey::open_detached_with(Engine engine, ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                                    Tag tag) const noexcept {
    if (nonce.size() != XCHACHA_NONCE_LEN) {
        return false;
    }
    const Primitives& p = primitives();
    const std::size_t n = ciphertext.size();
    CallState st(key_, nonce);
    bool ok = tag_verifies(engine, p, st, aad, ciphertext.data(), n, tag.data());
    // The verdict is public: a forger learns it from the refusal anyway.
    CONSTTIME_DECLASSIFY(&ok, sizeof ok);
    if (ok) {
        // Only an authentic ciphertext is deciphered.
        decipher(engine, p, st, ciphertext.data(), n);
    }
    scrub_stack(scrub_len(engine));
    return ok;
}

namespace xchacha_backend {

std::unique_ptr<XChaChaKey> prepare(CipherKeyView cipher_key) { return std::make_unique<XChaChaKey>(cipher_key); }

Bytes encrypt(KeyView key, Nonce nonce, ByteView aad, ByteView plaintext) {
    return seal_to_bytes(XChaChaKey(key), nonce, aad, plaintext);
}

Result<Bytes> decrypt(KeyView key, Nonce nonce, ByteView sealed, ByteView aad) {
    return open_to_bytes(XChaChaKey(key), nonce, sealed, aad);
}

}  // namespace xchacha_backend
}  // namespace norvane
