#include "aes_backend.h"

#include <bearssl.h>

#include <cstring>

#include "ct.h"
#include "consttime.h"
#include "primitives.h"

namespace norvane {

// AesGcmContext holds the expanded AES-256 key schedule and a GCM state
// whose GHASH key H was computed once from it. Neither is written after
// prepare(): every seal and open works on a stack copy of the GCM state.
class AesGcmContext {
public:
    br_aes_gen_ctr_keys keys;
    br_gcm_context gcm;  // refers to `keys`, so the context never moves
};

void AesGcmContextDeleter::operator()(AesGcmContext* ctx) const noexcept {
    // The first round keys are the cipher key itself.
    secure_wipe(ctx, sizeof *ctx);
    std::default_delete<AesGcmContext>{}(ctx);
}

namespace aes_backend {
namespace {

// Per-call GCM state, wiped on every way out.
struct GcmCall {
    br_gcm_context g;
    GcmCall(const AesGcmContext& ctx, Nonce nonce, ByteView aad) noexcept : g(ctx.gcm) {
        br_gcm_reset(&g, nonce.data(), nonce.size());
        br_gcm_aad_inject(&g, aad.data(), aad.size());
        br_gcm_flip(&g);
    }
    ~GcmCall() { secure_wipe(&g, sizeof g); }
    GcmCall(const GcmCall&) = delete;
    GcmCall& operator=(const GcmCall&) = delete;
};

}  // namespace

std::unique_ptr<AesGcmContext, AesGcmContextDeleter> prepare(std::span<const std::uint8_t, CIPHER_KEY_LEN> cipher_key) {
    std::unique_ptr<AesGcmContext, AesGcmContextDeleter> ctx(std::make_unique<AesGcmContext>().release());
    const Primitives& p = primitives();
    p.aes_ctr->init(&ctx->keys.vtable, cipher_key.data(), cipher_key.size());
    br_gcm_init(&ctx->gcm, &ctx->keys.vtable, p.ghash);
    return ctx;
}

Bytes encrypt(const AesGcmContext& ctx, Nonce nonce, ByteView aad, ByteView plaintext) {
    const std::size_t n = plaintext.size();
    Bytes out(n + TAG_LEN);
    copy_bytes(out.data(), plaintext.data(), n);
    GcmCall call(ctx, nonce, aad);
    br_gcm_run(&call.g, 1, out.data(), n);
    br_gcm_get_tag(&call.g, out.data() + n);
    return out;
}

Result<Bytes> decrypt(const AesGcmContext& ctx, Nonce nonce, ByteView sealed, ByteView aad) {
    Bytes copy(sealed.size());
    copy_bytes(copy.data(), sealed.data(), sealed.size());
    return decrypt_owned(ctx, nonce, std::move(copy), aad);
}

Result<Bytes> decrypt_owned(const AesGcmContext& ctx, Nonce nonce, Bytes&& sealed, ByteView aad) {
    Bytes buf = std::move(sealed);
    if (buf.size() < TAG_LEN) {
        return NorvaneError::Tampered;
    }
    const std::size_t n = buf.size() - TAG_LEN;
    std::uint8_t tag[TAG_LEN];
    {
        // GHASH covers each ciphertext block before it is deciphered; the
        // buffer is the call's own and is wiped unless the tag verifies.
        GcmCall call(ctx, nonce, aad);
        br_gcm_run(&call.g, 0, buf.data(), n);
        br_gcm_get_tag(&call.g, tag);
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

}  // namespace aes_backend
}  // namespace norvane
