// xchacha_backend.h - XChaCha20-Poly1305 (192-bit nonce, 128-bit tag)
// behind the backend seam: the HChaCha20 subkey of the key and the first 16
// nonce bytes, then the ChaCha20-Poly1305 AEAD with nonce 0^4 || n[16..24].
#pragma once

#include <memory>
#include <span>

#include "backend.h"
#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/key.h"
#include "norvane/result.h"

namespace norvane {

// XChaChaKey holds the 32-byte cipher key as it is: the per-token subkey
// depends on the nonce and is derived, and wiped, in every call.
class XChaChaKey final : public PreparedKey {
public:
    explicit XChaChaKey(CipherKeyView cipher_key) noexcept;

    void seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const override;
    bool open(ByteView nonce, ByteView aad, std::span<std::uint8_t> sealed) const noexcept override;

private:
    CipherKey key_;
};

namespace xchacha_backend {

using Nonce = std::span<const std::uint8_t, XCHACHA_NONCE_LEN>;
using KeyView = CipherKeyView;

std::unique_ptr<XChaChaKey> prepare(CipherKeyView cipher_key);

// encrypt returns ciphertext || tag. It cannot fail.
Bytes encrypt(KeyView key, Nonce nonce, ByteView aad, ByteView plaintext);

// decrypt verifies the tag in constant time and returns the plaintext, or
// Tampered for any failure.
Result<Bytes> decrypt(KeyView key, Nonce nonce, ByteView sealed, ByteView aad);

}  // namespace xchacha_backend
}  // namespace norvane
