// aes_backend.h - AES-256-GCM (96-bit nonce, 128-bit tag) behind the
// backend seam, on one of two engines: BearSSL's constant-time code
// (AES-NI and PCLMUL on x86, bitsliced elsewhere), or libsodium's where the
// CPU has the ARMv8 AES and PMULL instructions, which BearSSL has no code
// for (libsodium 1.0.19 and later). The engine is chosen once per process.
#pragma once

#include <bearssl.h>
#include <sodium.h>

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
    // GHASH_SCRATCH_LEN is the room ghash assembles a short token's blocks
    // in: the associated data, the ciphertext and the lengths, each part
    // padded to whole blocks.
    static constexpr std::size_t GHASH_SCRATCH_LEN = 272 + 1024 + 16;
    void ghash(ByteView aad, const std::uint8_t* ciphertext, std::size_t n, std::uint8_t* y,
               std::uint8_t* scratch) const noexcept;

    br_aes_gen_ctr_keys keys_;
    std::uint8_t h_[16];
    br_ghash ghash_;
};

// libsodium's AES-256-GCM can verify a tag without deciphering (a null
// message buffer) from 1.0.19 on, the version that brought its ARMv8 code.
#if SODIUM_LIBRARY_VERSION_MAJOR >= 26
#define NORVANE_SODIUM_AES_GCM 1
#else
#define NORVANE_SODIUM_AES_GCM 0
#endif

#if NORVANE_SODIUM_AES_GCM
// SodiumAesGcmKey holds libsodium's precomputed AES-256-GCM state (round
// keys and powers of H), computed once and wiped when destroyed. Opening
// asks libsodium to verify the tag alone first and deciphers only an
// authentic ciphertext.
class SodiumAesGcmKey final : public PreparedKey {
public:
    explicit SodiumAesGcmKey(CipherKeyView cipher_key) noexcept;
    ~SodiumAesGcmKey() override;

    void seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const override;
    bool open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                       Tag tag) const noexcept override;

private:
    crypto_aead_aes256gcm_state state_;
};
#endif

namespace aes_backend {

using Nonce = std::span<const std::uint8_t, AES_NONCE_LEN>;

enum class Engine : std::uint8_t { Bearssl, Sodium };

const char* engine_name(Engine e) noexcept;

// engines lists the engines this build and this CPU can run, BearSSL's
// first; chosen_engine is the one tokens use: libsodium's on aarch64 where
// it is among them (and NORVANE_FORCE_SOFTWARE is not set), BearSSL's
// everywhere else (on x86_64 BearSSL's AES-NI code is the faster).
std::span<const Engine> engines() noexcept;
Engine chosen_engine() noexcept;

// prepare expands BearSSL's key schedule and computes the GHASH key H once;
// prepare_with prepares the key for the given engine (one of engines()),
// and prepare_chosen for chosen_engine().
std::unique_ptr<AesGcmContext> prepare(CipherKeyView cipher_key);
std::unique_ptr<const PreparedKey> prepare_with(Engine engine, CipherKeyView cipher_key);
std::unique_ptr<const PreparedKey> prepare_chosen(CipherKeyView cipher_key);

// encrypt returns ciphertext || tag. It cannot fail.
Bytes encrypt(const PreparedKey& key, Nonce nonce, ByteView aad, ByteView plaintext);

// decrypt verifies the tag in constant time and returns the plaintext, or
// Tampered for any failure (short input, wrong key, any changed byte).
Result<Bytes> decrypt(const PreparedKey& key, Nonce nonce, ByteView sealed, ByteView aad);

}  // namespace aes_backend
}  // namespace norvane
