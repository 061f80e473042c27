// open_fuzz.cc - opening hostile token text.
//
// The first input byte picks one of two modes.
//
// Text mode (bit 0 clear): the second byte stretches the text (when not 0)
// with 'A's to a length around the 32768-byte limit; the rest of the input
// is the token text, opened under both backends for a purpose and a time
// picked by the first byte.
// Every call must return a plaintext or exactly one of the six opening
// errors, and the error must be the one the format rules give: the steps
// before any cryptography (size, split, strict decoding, nonce length) are
// recomputed by the reference code; past them, only an authentic token (one
// the adapter itself opens) may get an answer other than Tampered, and that
// answer must follow from its context and plaintext.
//
// Authentic mode (bit 0 set): the input supplies a nonce, a context record
// (raw bytes, or a well-formed record of an expiry and a purpose), a
// plaintext, an expected purpose and a time; the harness seals them under
// the object's own cipher key and assembles the token, so that the checks
// after authentication (context, purpose, expiry, UTF-8) are reached with
// every kind of content. The result must be exactly the one the reference
// predicts. With bit 2 set one bit of the token text is flipped first: the
// damaged token must then fail as Tampered, InvalidBase64 or InvalidToken,
// never open.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "backend.h"
#include "fuzz_support.h"
#include "norvane/token.h"

using namespace norvane;
using namespace norvane::fuzz;

namespace {

constexpr std::string_view PURPOSES[8] = {"session", "Session", "", "sess", "session ", "api", "\xc3\xa9", "x"};
constexpr std::uint64_t TIMES[8] = {0, 1, 1700000000, 1700000001, 4102444800, 0x7FFFFFFFFFFFFFFF,
                                    0xFFFFFFFFFFFFFFFE, 0xFFFFFFFFFFFFFFFF};

// adapter_open opens sealed bytes with the backend's adapter directly,
// under a cipher key prepared here from the fixed key, not taken from the
// Norvane.
Result<Bytes> adapter_open(Backend b, const RefFields& f, bool other_key) {
    const CipherKey ck = derive_cipher_key(b, fixed_key(other_key ? 1 : 0));
    const auto key = backend_row(b).prepare(ck.view());
    return open_to_bytes(*key, ByteView(f.nonce.data(), f.nonce.size()), ByteView(f.sealed.data(), f.sealed.size()),
                         ByteView(f.context.data(), f.context.size()));
}

Bytes adapter_seal(Backend b, const std::uint8_t* nonce, ByteView aad, ByteView plaintext) {
    const CipherKey ck = derive_cipher_key(b, fixed_key(0));
    const auto key = backend_row(b).prepare(ck.view());
    return seal_to_bytes(*key, ByteView(nonce, nonce_len(b)), aad, plaintext);
}

// check_open opens `token` with `nv` and checks the result against the
// reference steps.
void check_open(const Norvane& nv, bool other_key, std::string_view token, std::string_view purpose,
                std::uint64_t at) {
    const HeapCopy tok(token);
    const HeapCopy pur(purpose);
    const Result<Bytes> r = nv.decrypt_for_at(tok.text(), pur.text(), at);
    if (!r) {
        FUZZ_CHECK(is_opening_error(r.error()));
    }
    const RefPrefix pre = ref_open_prefix(token, nv.backend());
    if (pre.error) {
        FUZZ_CHECK(!r.ok());
        FUZZ_CHECK(r.error() == *pre.error);
        return;
    }
    const Result<Bytes> direct = adapter_open(nv.backend(), pre.fields, other_key);
    if (!direct) {
        FUZZ_CHECK(direct.error() == NorvaneError::Tampered);
        FUZZ_CHECK(!r.ok());
        FUZZ_CHECK(r.error() == NorvaneError::Tampered);
        return;
    }
    FUZZ_CHECK(direct->size() + TAG_LEN == pre.fields.sealed.size());
    const auto expected = ref_after_auth(pre.fields.context, direct->data(), direct->size(), purpose, at);
    if (expected) {
        FUZZ_CHECK(!r.ok());
        FUZZ_CHECK(r.error() == *expected);
    } else {
        FUZZ_CHECK(r.ok());
        FUZZ_CHECK(r->size() == direct->size());
        FUZZ_CHECK(std::equal(r->begin(), r->end(), direct->begin()));
    }
}

void text_mode(std::uint8_t mode, const std::uint8_t* data, std::size_t size) {
    const std::string_view purpose = PURPOSES[(mode >> 1) & 7];
    const std::uint64_t at = TIMES[(mode >> 4) & 7];
    if (size == 0) {
        return;
    }
    const std::uint8_t stretch = data[0];
    std::string token(reinterpret_cast<const char*>(data + 1), size - 1);
    if (stretch != 0) {
        // MAX_TOKEN_LEN - 127 to MAX_TOKEN_LEN + 128 characters.
        token.resize(std::max<std::size_t>(token.size(), MAX_TOKEN_LEN - 128 + stretch), 'A');
    }
    for (const Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
        check_open(norvane_for(b), false, token, purpose, at);
    }
    // Under another key nothing authentic gets through.
    if (mode & 0x80) {
        for (const Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
            check_open(norvane_for(b, true), true, token, purpose, at);
        }
    }
}

void authentic_mode(std::uint8_t mode, const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const Backend backend = (mode & 2) ? Backend::XChaCha20Poly1305 : Backend::Aes256Gcm;
    const bool flip = (mode & 4) != 0;
    const bool structured = (mode & 8) != 0;
    const bool own_purpose = (mode & 16) != 0;

    const std::uint64_t at = in.u64();
    std::uint8_t nonce[XCHACHA_NONCE_LEN];
    for (auto& b : nonce) {
        b = in.u8();
    }
    const std::uint16_t flip_at = in.u16();
    const std::uint8_t flip_bit = in.u8() & 7;

    std::vector<std::uint8_t> context;
    std::string ctx_purpose;
    if (structured) {
        const std::uint64_t expires_at = in.u64();
        const auto p = in.take(in.u8());
        ctx_purpose.assign(p.begin(), p.end());
        context = ref_write_context(expires_at, ctx_purpose);
    } else {
        context = in.take(in.u16() & 0x1FF);  // up to 511 bytes: longer than any record can be
    }
    std::string expected_purpose;
    if (own_purpose && structured) {
        expected_purpose = ctx_purpose;
    } else {
        const auto p = in.take(in.u8());
        expected_purpose.assign(p.begin(), p.end());
    }
    const std::vector<std::uint8_t> plaintext = in.rest();

    const HeapCopy aad(context.data(), context.size());
    const HeapCopy pt(plaintext.data(), plaintext.size());
    const std::size_t nlen = nonce_len(backend);
    const Bytes sealed = adapter_seal(backend, nonce, aad.bytes(), pt.bytes());
    FUZZ_CHECK(sealed.size() == plaintext.size() + TAG_LEN);
    std::string token = encode_token(ByteView(nonce, nlen), aad.bytes(), sealed);
    FUZZ_CHECK(token == ref_encode(nonce, nlen) + "." + ref_encode(context.data(), context.size()) + "." +
                            ref_encode(sealed.data(), sealed.size()));

    const Norvane& nv = norvane_for(backend);
    if (token.size() > MAX_TOKEN_LEN) {
        // Too long to be opened at all, however authentic.
        const Result<Bytes> r = nv.decrypt_for_at(HeapCopy(token).text(), HeapCopy(expected_purpose).text(), at);
        FUZZ_CHECK(!r.ok() && r.error() == NorvaneError::InvalidToken);
        return;
    }
    const Norvane& other = norvane_for(backend == Backend::Aes256Gcm ? Backend::XChaCha20Poly1305
                                                                     : Backend::Aes256Gcm);
    if (flip) {
        const std::size_t pos = flip_at % token.size();
        token[pos] = static_cast<char>(token[pos] ^ (1 << flip_bit));
        const HeapCopy tok(token);
        const Result<Bytes> r = nv.decrypt_for_at(tok.text(), HeapCopy(expected_purpose).text(), at);
        FUZZ_CHECK(!r.ok());
        FUZZ_CHECK(r.error() == NorvaneError::Tampered || r.error() == NorvaneError::InvalidBase64 ||
                   r.error() == NorvaneError::InvalidToken);
        check_open(nv, false, token, expected_purpose, at);
        return;
    }

    const HeapCopy tok(token);
    const HeapCopy pur(expected_purpose);
    const Result<Bytes> r = nv.decrypt_for_at(tok.text(), pur.text(), at);
    const auto expected = ref_after_auth(context, plaintext.data(), plaintext.size(), expected_purpose, at);
    if (expected) {
        FUZZ_CHECK(!r.ok());
        FUZZ_CHECK(r.error() == *expected);
    } else {
        FUZZ_CHECK(r.ok());
        FUZZ_CHECK(r->size() == plaintext.size());
        FUZZ_CHECK(std::equal(r->begin(), r->end(), plaintext.begin()));
    }
    // The other backend refuses it on the nonce length, another key on the tag.
    const Result<Bytes> wrong_backend = other.decrypt_for_at(tok.text(), pur.text(), at);
    FUZZ_CHECK(!wrong_backend.ok() && wrong_backend.error() == NorvaneError::InvalidToken);
    const Result<Bytes> wrong_key = norvane_for(backend, true).decrypt_for_at(tok.text(), pur.text(), at);
    FUZZ_CHECK(!wrong_key.ok() && wrong_key.error() == NorvaneError::Tampered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    if ((mode & 1) == 0) {
        text_mode(mode, data + 1, size - 1);
    } else {
        authentic_mode(mode, data + 1, size - 1);
    }
    return 0;
}
