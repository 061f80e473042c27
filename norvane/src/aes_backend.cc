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
    scrub_stack<SETUP_SCRUB_LEN>();
}

AesGcmContext::~AesGcmContext() {
    secure_wipe(&keys_, sizeof keys_);
    secure_wipe(h_, sizeof h_);
}

void AesGcmContext::ctr(const std::uint8_t* nonce, std::uint32_t counter, std::uint8_t* data,
                        std::size_t n) const noexcept {
    keys_.vtable->run(&keys_.vtable, nonce, counter, data, n);
}

// compute_tag writes the GCM tag of (aad, ciphertext): GHASH over the
// zero-padded associated data, the zero-padded ciphertext and their bit
// lengths, XORed with AES(K, J0).
void AesGcmContext::compute_tag(const std::uint8_t* nonce, ByteView aad, const std::uint8_t* ciphertext,
                                std::size_t n, std::uint8_t* tag) const noexcept {
    std::uint8_t y[16] = {};
    ghash_(y, h_, nonnull(aad.data()), aad.size());
    ghash_(y, h_, nonnull(ciphertext), n);
    std::uint8_t lengths[16];
    put_be64(lengths, static_cast<std::uint64_t>(aad.size()) * 8);
    put_be64(lengths + 8, static_cast<std::uint64_t>(n) * 8);
    ghash_(y, h_, lengths, sizeof lengths);
    std::memcpy(tag, y, TAG_LEN);
    secure_wipe(y, sizeof y);
    ctr(nonce, TAG_BLOCK, tag, TAG_LEN);
}

void AesGcmContext::seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const {
    if (nonce.size() != AES_NONCE_LEN) {
        throw InternalFault("a nonce of the wrong length reached the seal");
    }
    const std::size_t n = plaintext.size();
    copy_bytes(out, plaintext.data(), n);
    ctr(nonce.data(), FIRST_DATA_BLOCK, out, n);
    compute_tag(nonce.data(), aad, out, n, out + n);
    // The CTR and GHASH calls leave round keys and H-derived values in
    // their frames.
    scrub_stack<CALL_SCRUB_LEN>();
}

bool AesGcmContext::open(ByteView nonce, ByteView aad, std::span<std::uint8_t> sealed) const noexcept {
    if (sealed.size() < TAG_LEN || nonce.size() != AES_NONCE_LEN) {
        return false;
    }
    const std::size_t n = sealed.size() - TAG_LEN;
    std::uint8_t tag[TAG_LEN];
    compute_tag(nonce.data(), aad, sealed.data(), n, tag);
    bool ok = ct::equal16(tag, sealed.data() + n);
    secure_wipe(tag, sizeof tag);
    // The verdict is public: a forger learns it from the refusal anyway.
    CONSTTIME_DECLASSIFY(&ok, sizeof ok);
    if (ok) {
        // Only an authentic ciphertext is deciphered.
        ctr(nonce.data(), FIRST_DATA_BLOCK, sealed.data(), n);
    }
    scrub_stack<CALL_SCRUB_LEN>();
    return ok;
}

namespace aes_backend {

std::unique_ptr<AesGcmContext> prepare(CipherKeyView cipher_key) {
    return std::make_unique<AesGcmContext>(cipher_key);
}

Bytes encrypt(const AesGcmContext& ctx, Nonce nonce, ByteView aad, ByteView plaintext) {
    return seal_to_bytes(ctx, nonce, aad, plaintext);
}

Result<Bytes> decrypt(const AesGcmContext& ctx, Nonce nonce, ByteView sealed, ByteView aad) {
    return open_to_bytes(ctx, nonce, sealed, aad);
}

}  // namespace aes_backend
}  // namespace norvane
