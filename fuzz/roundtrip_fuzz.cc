// roundtrip_fuzz.cc - minting arbitrary inputs and opening the result.
//
// The input gives a backend, an optional expiry, an optional purpose, a time
// and a UTF-8 plaintext (flags can stretch the purpose and the plaintext
// across their limits). Minting must fail with exactly the first limit the
// inputs break, in the documented order, or produce a token of the computed
// length whose fields are the nonce, the reference context record and the
// sealed bytes. That token must open to the same plaintext before its
// expiry, give Expired from its expiry on, WrongPurpose for any other
// purpose, InvalidToken under the other backend and Tampered under another
// key; minting the same inputs again must draw a different nonce.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "norvane/base64url.h"
#include "norvane/utf8.h"

using namespace norvane;
using namespace norvane::fuzz;

namespace {

std::optional<NorvaneError> expected_mint_error(std::size_t data_len, std::optional<std::uint64_t> expires_at,
                                                std::optional<std::string_view> purpose) {
    if (data_len > 16384) {
        return NorvaneError::PlaintextTooLong;
    }
    if (expires_at && *expires_at == 0) {
        return NorvaneError::ZeroExpiry;
    }
    if (purpose && purpose->empty()) {
        return NorvaneError::EmptyPurpose;
    }
    if (purpose && purpose->size() > 255) {
        return NorvaneError::PurposeTooLong;
    }
    return std::nullopt;
}

std::vector<std::string> split3(const std::string& token) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (int i = 0; i < 2; ++i) {
        const std::size_t dot = token.find('.', start);
        FUZZ_CHECK(dot != std::string::npos);
        f.push_back(token.substr(start, dot - start));
        start = dot + 1;
    }
    f.push_back(token.substr(start));
    return f;
}

void expect_error(const Result<Bytes>& r, NorvaneError e) {
    FUZZ_CHECK(!r.ok());
    FUZZ_CHECK(r.error() == e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint8_t flags = in.u8();
    const Backend backend = (flags & 1) ? Backend::XChaCha20Poly1305 : Backend::Aes256Gcm;
    const bool has_expiry = (flags & 2) != 0;
    const bool has_purpose = (flags & 4) != 0;
    const bool stretch_data = (flags & 8) != 0;
    const bool stretch_purpose = (flags & 16) != 0;

    const std::uint64_t expiry_in = in.u64();
    const std::uint64_t at_in = in.u64();
    const std::uint8_t stretch = in.u8();
    const auto p = in.take(in.u8());
    std::string purpose_text(p.begin(), p.end());
    if (stretch_purpose) {
        // 128 to 383 bytes: across the 255-byte limit.
        purpose_text.resize(std::max<std::size_t>(purpose_text.size(), 128 + stretch), 'p');
    }
    std::vector<std::uint8_t> plaintext = in.rest();
    if (stretch_data) {
        // 16256 to 16511 bytes: across the 16384-byte limit.
        plaintext.resize(std::max<std::size_t>(plaintext.size(), 16256 + stretch), 'd');
    }

    const HeapCopy pt(plaintext.data(), plaintext.size());
    const HeapCopy pur(purpose_text);
    // The validator agrees with the reference on both inputs; minting is
    // only ever given UTF-8 (the caller checks it).
    FUZZ_CHECK(is_valid_utf8(pt.bytes()) == ref_utf8(plaintext.data(), plaintext.size()));
    FUZZ_CHECK(is_valid_utf8(pur.bytes()) == ref_utf8(purpose_text));
    if (!is_valid_utf8(pt.bytes()) || !is_valid_utf8(pur.bytes())) {
        return 0;
    }

    const std::optional<std::uint64_t> expires_at = has_expiry ? std::optional<std::uint64_t>(expiry_in) : std::nullopt;
    const std::optional<std::string_view> purpose =
        has_purpose ? std::optional<std::string_view>(pur.text()) : std::nullopt;
    const Norvane& nv = norvane_for(backend);

    const Result<std::string> minted = nv.encrypt(pt.bytes(), expires_at, purpose);
    const auto want_error = expected_mint_error(plaintext.size(), expires_at, purpose);
    if (want_error) {
        FUZZ_CHECK(!minted.ok());
        FUZZ_CHECK(minted.error() == *want_error);
        return 0;
    }
    FUZZ_CHECK(minted.ok());
    const std::string& token = *minted;

    // Shape: three fields, exact length, reference context record.
    const std::string_view used_purpose = has_purpose ? std::string_view(purpose_text) : DEFAULT_PURPOSE;
    const std::size_t nlen = backend == Backend::Aes256Gcm ? 12 : 24;
    const std::size_t clen = 10 + used_purpose.size();
    const std::size_t slen = plaintext.size() + 16;
    FUZZ_CHECK(token.size() == 4 * ((nlen + 2) / 3) + 1 + 4 * ((clen + 2) / 3) + 1 + 4 * ((slen + 2) / 3));
    const auto fields = split3(token);
    const auto nonce = ref_decode(fields[0]);
    const auto context = ref_decode(fields[1]);
    const auto sealed = ref_decode(fields[2]);
    FUZZ_CHECK(nonce && context && sealed);
    FUZZ_CHECK(nonce->size() == nlen);
    FUZZ_CHECK(*context == ref_write_context(has_expiry ? expiry_in : 0, used_purpose));
    FUZZ_CHECK(sealed->size() == slen);

    const HeapCopy tok(token);
    const HeapCopy want(used_purpose);

    // Opens before the expiry (always, without one), to the same bytes.
    const std::uint64_t at_ok = has_expiry ? at_in % expiry_in : at_in;
    const Result<Bytes> opened = nv.decrypt_for_at(tok.text(), want.text(), at_ok);
    FUZZ_CHECK(opened.ok());
    FUZZ_CHECK(opened->size() == plaintext.size());
    FUZZ_CHECK(std::equal(opened->begin(), opened->end(), plaintext.begin()));

    if (plaintext.size() > 4096) {
        // Stretched inputs are here for the limits; the checks below cost
        // as much again per call and find nothing a short plaintext misses.
        return 0;
    }

    if (has_expiry) {
        expect_error(nv.decrypt_for_at(tok.text(), want.text(), expiry_in), NorvaneError::Expired);
        expect_error(nv.decrypt_for_at(tok.text(), want.text(), ~std::uint64_t{0}), NorvaneError::Expired);
        if (expiry_in > 1) {
            FUZZ_CHECK(nv.decrypt_for_at(tok.text(), want.text(), expiry_in - 1).ok());
        }
    } else {
        FUZZ_CHECK(nv.decrypt_for_at(tok.text(), want.text(), ~std::uint64_t{0}).ok());
    }

    // Any other purpose: longer, shorter, and the same length but different.
    const std::string longer = std::string(used_purpose) + "x";
    expect_error(nv.decrypt_for_at(tok.text(), HeapCopy(longer).text(), at_ok), NorvaneError::WrongPurpose);
    const std::string shorter(used_purpose.substr(0, used_purpose.size() - 1));
    expect_error(nv.decrypt_for_at(tok.text(), HeapCopy(shorter).text(), at_ok), NorvaneError::WrongPurpose);
    std::string changed(used_purpose);
    changed[at_in % changed.size()] ^= 0x20;
    expect_error(nv.decrypt_for_at(tok.text(), HeapCopy(changed).text(), at_ok), NorvaneError::WrongPurpose);

    const Backend other_backend = backend == Backend::Aes256Gcm ? Backend::XChaCha20Poly1305 : Backend::Aes256Gcm;
    expect_error(norvane_for(other_backend).decrypt_for_at(tok.text(), want.text(), at_ok),
                 NorvaneError::InvalidToken);
    expect_error(norvane_for(backend, true).decrypt_for_at(tok.text(), want.text(), at_ok), NorvaneError::Tampered);

    // A second minting draws a fresh nonce; the context field is the same.
    const Result<std::string> again = nv.encrypt(pt.bytes(), expires_at, purpose);
    FUZZ_CHECK(again.ok());
    const auto fields2 = split3(*again);
    FUZZ_CHECK(fields2[0] != fields[0]);
    FUZZ_CHECK(fields2[1] == fields[1]);
    return 0;
}
