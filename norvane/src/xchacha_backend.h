// xchacha_backend.h - XChaCha20-Poly1305 (192-bit nonce, 128-bit tag)
// behind the backend seam: the HChaCha20 subkey of the key and the first 16
// nonce bytes, then the ChaCha20-Poly1305 AEAD with nonce 0^4 || n[16..24].
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "backend.h"
#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/key.h"
#include "norvane/result.h"

namespace norvane {
namespace xchacha_backend {

// Engine is the ChaCha20-Poly1305 code that runs after the HChaCha20 step
// (libsodium's, for both). BearSSL's works one 64-byte block at a time;
// libsodium's works on several blocks at once (SSSE3 or AVX2, chosen by
// libsodium for the CPU) and wins from the first byte of payload on, but
// needs a deeper stack scrub, which makes BearSSL's the faster one for an
// empty payload. Both give the same bytes.
enum class Engine : std::uint8_t { Bearssl, Sodium };

inline constexpr Engine kAllEngines[] = {Engine::Bearssl, Engine::Sodium};

// engine_name is "bearssl" or "libsodium".
const char* engine_name(Engine e) noexcept;

// SODIUM_MIN_LEN is the payload length (plaintext, or sealed bytes less the
// tag) from which seal and open take libsodium's engine. Measured with
// bench/core_bench.cc's BM_XChaChaSealWith and BM_XChaChaOpenWith (both
// engines at 27 lengths from 0 B to 16 KiB, Release build, medians of five
// interleaved repetitions) on the development machine (Intel Xeon with AVX2
// and AVX-512, Debian 12's BearSSL 0.6 and libsodium 1.0.18): BearSSL is
// ahead only on an empty payload (seal 265 against 296 ns, open 280 against
// 300: the deeper stack scrub after libsodium); from 1 B to 224 B the two
// seal within 3% of each other and libsodium opens 5 to 10% faster; from
// 256 B on libsodium's multi-block code is 1.4 (256 B), 2.4 (1 KiB) and 3.1
// (16 KiB) times as fast.
inline constexpr std::size_t SODIUM_MIN_LEN = 1;

// engine_for is the engine for a payload of n bytes: libsodium's from
// SODIUM_MIN_LEN on (where sodium_init succeeded), BearSSL's below.
Engine engine_for(std::size_t n) noexcept;

}  // namespace xchacha_backend

// XChaChaKey holds the 32-byte cipher key as it is: the per-token subkey
// depends on the nonce and is derived, and wiped, in every call. seal and
// open take the engine for the payload's length.
class XChaChaKey final : public PreparedKey {
public:
    explicit XChaChaKey(CipherKeyView cipher_key) noexcept;

    void seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const override;
    bool open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                       Tag tag) const noexcept override;

    // seal_with and open_with are seal and open (of ciphertext || tag) on a
    // given engine, whatever the length: for the tests and the
    // constant-time check, which run every engine on every input.
    void seal_with(xchacha_backend::Engine engine, ByteView nonce, ByteView aad, ByteView plaintext,
                   std::uint8_t* out) const;
    bool open_with(xchacha_backend::Engine engine, ByteView nonce, ByteView aad,
                   std::span<std::uint8_t> sealed) const noexcept;
    bool open_detached_with(xchacha_backend::Engine engine, ByteView nonce, ByteView aad,
                            std::span<std::uint8_t> ciphertext, Tag tag) const noexcept;

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
