#include "aes_backend.h"

#include <bearssl.h>

#include <cstring>

#include "consttime.h"
#include "ct.h"
#include "primitives.h"
#include "stack_scrub.h"

namespace norvane {

// AesGcmContext holds the expanded AES-256 key schedule and the GHASH key
// H = AES(K, 0^128), both computed once by prepare() and only read
// afterwards. GCM is put together here from BearSSL's CTR and GHASH calls
// so that opening can verify the tag before it deciphers anything.
class AesGcmContext {
public:
    br_aes_gen_ctr_keys keys;
    std::uint8_t h[16];
    br_ghash ghash;

    // ctr runs AES-CTR with the 96-bit nonce and the 32-bit block counter
    // starting at `counter`, in place over n bytes.
    void ctr(aes_backend::Nonce nonce, std::uint32_t counter, std::uint8_t* data, std::size_t n) const noexcept {
        keys.vtable->run(&keys.vtable, nonce.data(), counter, data, n);
    }
};

void AesGcmContextDeleter::operator()(AesGcmContext* ctx) const noexcept {
    // The first two round keys are the cipher key itself.
    secure_wipe(ctx, sizeof *ctx);
    std::default_delete<AesGcmContext>{}(ctx);
}

namespace aes_backend {
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

// compute_tag writes the GCM tag of (aad, ciphertext): GHASH over the
// zero-padded associated data, the zero-padded ciphertext and their bit
// lengths, XORed with AES(K, J0).
void compute_tag(const AesGcmContext& ctx, Nonce nonce, ByteView aad, const std::uint8_t* ciphertext,
                 std::size_t n, std::uint8_t tag[TAG_LEN]) noexcept {
    std::uint8_t y[16] = {};
    ctx.ghash(y, ctx.h, nonnull(aad.data()), aad.size());
    ctx.ghash(y, ctx.h, nonnull(ciphertext), n);
    std::uint8_t lengths[16];
    put_be64(lengths, static_cast<std::uint64_t>(aad.size()) * 8);
    put_be64(lengths + 8, static_cast<std::uint64_t>(n) * 8);
    ctx.ghash(y, ctx.h, lengths, sizeof lengths);
    std::memcpy(tag, y, TAG_LEN);
    secure_wipe(y, sizeof y);
    ctx.ctr(nonce, TAG_BLOCK, tag, TAG_LEN);
}

}  // namespace

std::unique_ptr<AesGcmContext, AesGcmContextDeleter> prepare(std::span<const std::uint8_t, CIPHER_KEY_LEN> cipher_key) {
    std::unique_ptr<AesGcmContext, AesGcmContextDeleter> ctx(std::make_unique<AesGcmContext>().release());
    const Primitives& p = primitives();
    p.aes_ctr->init(&ctx->keys.vtable, cipher_key.data(), cipher_key.size());
    // H is the encryption of the zero block: CTR over zeros with a zero IV
    // and counter.
    const std::uint8_t zero_iv[AES_NONCE_LEN] = {};
    std::memset(ctx->h, 0, sizeof ctx->h);
    ctx->ctr(Nonce(zero_iv, AES_NONCE_LEN), 0, ctx->h, sizeof ctx->h);
    ctx->ghash = p.ghash;
    // The key schedule and the block encryption leave the cipher key and
    // round keys in their stack frames.
    scrub_stack<SETUP_SCRUB_LEN>();
    return ctx;
}

Bytes encrypt(const AesGcmContext& ctx, Nonce nonce, ByteView aad, ByteView plaintext) {
    const std::size_t n = plaintext.size();
    Bytes out(n + TAG_LEN);
    copy_bytes(out.data(), plaintext.data(), n);
    ctx.ctr(nonce, FIRST_DATA_BLOCK, out.data(), n);
    compute_tag(ctx, nonce, aad, out.data(), n, out.data() + n);
    // The CTR and GHASH calls leave round keys and H-derived values in
    // their frames.
    scrub_stack<CALL_SCRUB_LEN>();
    return out;
}

bool open_in_place(const AesGcmContext& ctx, Nonce nonce, ByteView aad, std::span<std::uint8_t> sealed) noexcept {
    if (sealed.size() < TAG_LEN) {
        return false;
    }
    const std::size_t n = sealed.size() - TAG_LEN;
    std::uint8_t tag[TAG_LEN];
    compute_tag(ctx, nonce, aad, sealed.data(), n, tag);
    bool ok = ct::equal16(tag, sealed.data() + n);
    secure_wipe(tag, sizeof tag);
    // The verdict is public: a forger learns it from the refusal anyway.
    CONSTTIME_DECLASSIFY(&ok, sizeof ok);
    if (ok) {
        // Only an authentic ciphertext is deciphered.
        ctx.ctr(nonce, FIRST_DATA_BLOCK, sealed.data(), n);
    }
    scrub_stack<CALL_SCRUB_LEN>();
    return ok;
}

Result<Bytes> decrypt(const AesGcmContext& ctx, Nonce nonce, ByteView sealed, ByteView aad) {
    Bytes copy(sealed.size());
    copy_bytes(copy.data(), sealed.data(), sealed.size());
    return decrypt_owned(ctx, nonce, std::move(copy), aad);
}

Result<Bytes> decrypt_owned(const AesGcmContext& ctx, Nonce nonce, Bytes&& sealed, ByteView aad) {
    Bytes buf = std::move(sealed);
    if (!open_in_place(ctx, nonce, aad, buf)) {
        return NorvaneError::Tampered;
    }
    buf.resize(buf.size() - TAG_LEN);
    return buf;
}

}  // namespace aes_backend
}  // namespace norvane
