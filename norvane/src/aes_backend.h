// aes_backend.h - AES-256-GCM (96-bit nonce, 128-bit tag) behind the
// backend seam.
#pragma once

#include <bearssl.h>

#include <memory>
#include <span>

#include "backend.h"
#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/result.h"

namespace norvane {

// AesGcmContext holds the expanded AES-256 key schedule and the GHASH key
// H = AES(K, 0^128), both computed once by aes_backend::prepare and only
// read afterwards; it is wiped when destroyed (the first two round keys are
// the cipher key itself). GCM is put together from BearSSL's CTR and GHASH
// calls so that opening verifies the tag before any plaintext exists.
class AesGcmContext final : public PreparedKey {
public:
    explicit AesGcmContext(CipherKeyView cipher_key) noexcept;
    ~AesGcmContext() override;

    void seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const override;
    bool open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                       Tag tag) const noexcept override;

private:
    void ctr(const std::uint8_t* nonce, std::uint32_t counter, std::uint8_t* data, std::size_t n) const noexcept;
    void ghash(ByteView aad, const std::uint8_t* ciphertext, std::size_t n, std::uint8_t* y) const noexcept;

    br_aes_gen_ctr_keys keys_;
    std::uint8_t h_[16];
    br_ghash ghash_;
};

namespace aes_backend {

using Nonce = std::span<const std::uint8_t, AES_NONCE_LEN>;

// prepare expands the key schedule and computes the GHASH key H once.
std::unique_ptr<AesGcmContext> prepare(CipherKeyView cipher_key);

// encrypt returns ciphertext || tag. It cannot fail.
Bytes encrypt(const AesGcmContext& ctx, Nonce nonce, ByteView aad, ByteView plaintext);

// decrypt verifies the tag in constant time and returns the plaintext, or
// Tampered for any failure (short input, wrong key, any changed byte).
Result<Bytes> decrypt(const AesGcmContext& ctx, Nonce nonce, ByteView sealed, ByteView aad);

}  // namespace aes_backend
}  // namespace norvane
