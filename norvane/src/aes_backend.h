// aes_backend.h - AES-256-GCM (96-bit nonce, 128-bit tag) behind the
// adapter shape shared with xchacha_backend.
#pragma once

#include <memory>
#include <span>

#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/norvane.h"
#include "norvane/result.h"

namespace norvane::aes_backend {

using Nonce = std::span<const std::uint8_t, AES_NONCE_LEN>;

// prepare expands the key schedule and computes the GHASH key H once. The
// context is immutable afterwards and wiped when released.
std::unique_ptr<AesGcmContext, AesGcmContextDeleter> prepare(std::span<const std::uint8_t, CIPHER_KEY_LEN> cipher_key);

// encrypt returns ciphertext || tag. It cannot fail.
Bytes encrypt(const AesGcmContext& ctx, Nonce nonce, ByteView aad, ByteView plaintext);

// decrypt verifies the tag in constant time and returns the plaintext, or
// Tampered for any failure (short input, wrong key, any changed byte).
Result<Bytes> decrypt(const AesGcmContext& ctx, Nonce nonce, ByteView sealed, ByteView aad);

// open_in_place verifies the tag of `sealed` (ciphertext || tag) and only
// then deciphers the ciphertext in place. It returns false, with the buffer
// untouched, when the tag does not verify or the buffer is shorter than a
// tag.
bool open_in_place(const AesGcmContext& ctx, Nonce nonce, ByteView aad, std::span<std::uint8_t> sealed) noexcept;

// decrypt_owned is decrypt on a buffer the caller hands over: the plaintext
// is deciphered in place and returned in that same buffer, without a copy.
Result<Bytes> decrypt_owned(const AesGcmContext& ctx, Nonce nonce, Bytes&& sealed, ByteView aad);

}  // namespace norvane::aes_backend
