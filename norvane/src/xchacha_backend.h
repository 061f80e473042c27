// xchacha_backend.h - XChaCha20-Poly1305 (192-bit nonce, 128-bit tag):
// HChaCha20 subkey, then the ChaCha20-Poly1305 AEAD with nonce 0^4 || n[16..24].
#pragma once

#include <span>

#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/result.h"

namespace norvane::xchacha_backend {

using Nonce = std::span<const std::uint8_t, XCHACHA_NONCE_LEN>;
using KeyView = std::span<const std::uint8_t, CIPHER_KEY_LEN>;

// encrypt returns ciphertext || tag. It cannot fail.
Bytes encrypt(KeyView key, Nonce nonce, ByteView aad, ByteView plaintext);

// decrypt verifies the tag in constant time and returns the plaintext, or
// Tampered for any failure. The per-call subkey is wiped on every path.
Result<Bytes> decrypt(KeyView key, Nonce nonce, ByteView sealed, ByteView aad);

// open_in_place verifies the tag of `sealed` (ciphertext || tag) and only
// then deciphers the ciphertext in place. It returns false, with the buffer
// untouched, when the tag does not verify or the buffer is shorter than a
// tag.
bool open_in_place(KeyView key, Nonce nonce, ByteView aad, std::span<std::uint8_t> sealed) noexcept;

// decrypt_owned is decrypt on a buffer the caller hands over: the plaintext
// is deciphered in place and returned in that same buffer, without a copy.
Result<Bytes> decrypt_owned(KeyView key, Nonce nonce, Bytes&& sealed, ByteView aad);

}  // namespace norvane::xchacha_backend
