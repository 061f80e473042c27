#include "xchacha_backend.h"

#include <cstring>

#include "ct.h"
#include "norvane/fault.h"
#include "hchacha20.h"
#include "primitives.h"
#include "stack_scrub.h"

namespace norvane {
namespace {

// CallState is the per-call cipher state: the HChaCha20 subkey and the
// ChaCha20 nonce 0^4 || nonce[16..24]. It is wiped on every way out.
struct CallState {
    SecretArray<32> subkey;
    std::uint8_t iv[12];
    CallState(const CipherKey& key, ByteView nonce) noexcept {
        hchacha20(key.data(), nonce.data(), subkey.data());
        std::memset(iv, 0, 4);
        std::memcpy(iv + 4, nonce.data() + 16, 8);
    }
    ~CallState() { secure_wipe(iv, sizeof iv); }
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;
};

// BearSSL reads the pointers even for empty inputs; give it a real one.
const void* nonnull(const std::uint8_t* p) noexcept {
    static const std::uint8_t empty = 0;
    return p != nullptr ? p : &empty;
}

// key_block_only is the ChaCha20 that opening hands to Poly1305: it makes
// the one-time Poly1305 key from block 0 and leaves the payload (block 1
// on) as it is, so that the call computes the tag over the ciphertext and
// deciphers nothing. The counter is public; branching on it is fine.
std::uint32_t key_block_only(const void* key, const void* iv, std::uint32_t cc, void* data, std::size_t len) {
    if (cc != 0) {
        return cc;
    }
    return primitives().chacha20(key, iv, cc, data, len);
}

// Block 0 of the keystream keys Poly1305; the payload starts at block 1.
constexpr std::uint32_t FIRST_DATA_BLOCK = 1;

}  // namespace

XChaChaKey::XChaChaKey(CipherKeyView cipher_key) noexcept {
    std::memcpy(key_.data(), cipher_key.data(), CIPHER_KEY_LEN);
}

void XChaChaKey::seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const {
    if (nonce.size() != XCHACHA_NONCE_LEN) {
        throw InternalFault("a nonce of the wrong length reached the seal");
    }
    const std::size_t n = plaintext.size();
    copy_bytes(out, plaintext.data(), n);
    CallState st(key_, nonce);
    const Primitives& p = primitives();
    p.poly1305(st.subkey.data(), st.iv, out, n, nonnull(aad.data()), aad.size(), out + n, p.chacha20, 1);
    // ChaCha20 keeps the subkey in its state, Poly1305 its one-time key,
    // both on the stack.
    scrub_stack<CALL_SCRUB_LEN>();
}

bool XChaChaKey::open(ByteView nonce, ByteView aad, std::span<std::uint8_t> sealed) const noexcept {
    if (sealed.size() < TAG_LEN || nonce.size() != XCHACHA_NONCE_LEN) {
        return false;
    }
    const std::size_t n = sealed.size() - TAG_LEN;
    CallState st(key_, nonce);
    const Primitives& p = primitives();
    std::uint8_t tag[TAG_LEN];
    p.poly1305(st.subkey.data(), st.iv, sealed.data(), n, nonnull(aad.data()), aad.size(), tag, &key_block_only, 0);
    bool ok = ct::equal16(tag, sealed.data() + n);
    secure_wipe(tag, sizeof tag);
    // The verdict is public: a forger learns it from the refusal anyway.
    CONSTTIME_DECLASSIFY(&ok, sizeof ok);
    if (ok) {
        // Only an authentic ciphertext is deciphered.
        p.chacha20(st.subkey.data(), st.iv, FIRST_DATA_BLOCK, sealed.data(), n);
    }
    scrub_stack<CALL_SCRUB_LEN>();
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
