#include "xchacha_backend.h"

#include <cstring>

#include "ct.h"
#include "consttime.h"
#include "hchacha20.h"
#include "primitives.h"

namespace norvane::xchacha_backend {
namespace {

// CallState is the per-call cipher state: the HChaCha20 subkey and the
// ChaCha20 nonce 0^4 || nonce[16..24]. It is wiped on every way out.
struct CallState {
    SecretArray<32> subkey;
    std::uint8_t iv[12];
    CallState(KeyView key, Nonce nonce) noexcept {
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

}  // namespace

Bytes encrypt(KeyView key, Nonce nonce, ByteView aad, ByteView plaintext) {
    const std::size_t n = plaintext.size();
    Bytes out(n + TAG_LEN);
    copy_bytes(out.data(), plaintext.data(), n);
    CallState st(key, nonce);
    const Primitives& p = primitives();
    p.poly1305(st.subkey.data(), st.iv, out.data(), n, nonnull(aad.data()), aad.size(), out.data() + n,
               p.chacha20, 1);
    return out;
}

Result<Bytes> decrypt(KeyView key, Nonce nonce, ByteView sealed, ByteView aad) {
    Bytes copy(sealed.size());
    copy_bytes(copy.data(), sealed.data(), sealed.size());
    return decrypt_owned(key, nonce, std::move(copy), aad);
}

Result<Bytes> decrypt_owned(KeyView key, Nonce nonce, Bytes&& sealed, ByteView aad) {
    Bytes buf = std::move(sealed);
    if (buf.size() < TAG_LEN) {
        return NorvaneError::Tampered;
    }
    const std::size_t n = buf.size() - TAG_LEN;
    std::uint8_t tag[TAG_LEN];
    {
        // Poly1305 covers the ciphertext before it is deciphered; the buffer
        // is the call's own and is wiped unless the tag verifies.
        CallState st(key, nonce);
        const Primitives& p = primitives();
        p.poly1305(st.subkey.data(), st.iv, buf.data(), n, nonnull(aad.data()), aad.size(), tag, p.chacha20, 0);
    }
    bool ok = ct::equal16(tag, buf.data() + n);
    secure_wipe(tag, sizeof tag);
    // The verdict is public: a forger learns it from the refusal anyway.
    CONSTTIME_DECLASSIFY(&ok, sizeof ok);
    if (!ok) {
        return NorvaneError::Tampered;
    }
    buf.resize(n);
    return buf;
}

}  // namespace norvane::xchacha_backend
