#include "norvane/norvane.h"

#include <array>

#include "aes_backend.h"
#include "norvane/base64url.h"
#include "norvane/utf8.h"
#include "random.h"
#include "xchacha_backend.h"

namespace norvane {

static_assert(aad::MAX_RECORD_LEN == aad::HEADER_LEN + MAX_PURPOSE_LEN, "a record holds any purpose minting accepts");

Norvane Norvane::create(Backend backend, const Key& key) {
    Norvane n(backend);
    CipherKey cipher_key = derive_cipher_key(backend, key);
    if (backend == Backend::Aes256Gcm) {
        n.aes_ = aes_backend::prepare(cipher_key.view());
    } else {
        n.xchacha_key_ = std::move(cipher_key);
    }
    return n;
}

namespace {

class StringSink final : public TokenSink {
public:
    char* reserve(std::size_t len) override {
        text.resize(len);
        return text.data();
    }
    std::string text;
};

}  // namespace

Result<std::string> Norvane::encrypt(ByteView data, std::optional<std::uint64_t> expires_at,
                                     std::optional<std::string_view> purpose) const {
    StringSink sink;
    if (auto error = encrypt_into(data, expires_at, purpose, sink)) {
        return *error;
    }
    return std::move(sink.text);
}

std::optional<NorvaneError> Norvane::encrypt_into(ByteView data, std::optional<std::uint64_t> expires_at,
                                                  std::optional<std::string_view> purpose, TokenSink& sink) const {
    if (data.size() > MAX_PLAINTEXT_LEN) {
        return NorvaneError::PlaintextTooLong;
    }
    if (expires_at && *expires_at == 0) {
        return NorvaneError::ZeroExpiry;
    }
    const std::string_view label = purpose.value_or(DEFAULT_PURPOSE);
    if (label.empty()) {
        return NorvaneError::EmptyPurpose;
    }
    if (label.size() > MAX_PURPOSE_LEN) {
        return NorvaneError::PurposeTooLong;
    }
    std::array<std::uint8_t, aad::MAX_RECORD_LEN> record;
    const ByteView context(record.data(), aad::write_context_into(expires_at.value_or(0), label, record.data()));

    std::array<std::uint8_t, XCHACHA_NONCE_LEN> nonce;
    const std::span<std::uint8_t> drawn(nonce.data(), nonce_len(backend_));
    if (!fill_random(drawn)) {
        return NorvaneError::RandomnessUnavailable;
    }

    const Bytes sealed =
        backend_ == Backend::Aes256Gcm
            ? aes_backend::encrypt(*aes_, aes_backend::Nonce(nonce.data(), AES_NONCE_LEN), context, data)
            : xchacha_backend::encrypt(xchacha_key_.view(), xchacha_backend::Nonce(nonce.data(), XCHACHA_NONCE_LEN),
                                       context, data);
    char* out = sink.reserve(token_len(drawn.size(), context.size(), sealed.size()));
    encode_token_into(drawn, context, sealed, out);
    return std::nullopt;
}

Result<Bytes> Norvane::decrypt_for_at(std::string_view token, std::string_view purpose, std::uint64_t at) const {
    // The size test bounds every allocation below.
    if (token.size() > MAX_TOKEN_LEN) {
        return NorvaneError::InvalidToken;
    }
    const std::size_t dot1 = token.find('.');
    if (dot1 == std::string_view::npos) {
        return NorvaneError::InvalidToken;
    }
    const std::size_t dot2 = token.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) {
        return NorvaneError::InvalidToken;
    }
    const std::string_view nonce_field = token.substr(0, dot1);
    const std::string_view context_field = token.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string_view sealed_field = token.substr(dot2 + 1);

    const auto nonce = base64url::decode(nonce_field);
    if (!nonce) {
        return NorvaneError::InvalidBase64;
    }
    const auto context = base64url::decode(context_field);
    if (!context) {
        return NorvaneError::InvalidBase64;
    }
    auto sealed = base64url::decode(sealed_field);
    if (!sealed) {
        return NorvaneError::InvalidBase64;
    }
    if (nonce->size() != nonce_len(backend_)) {
        return NorvaneError::InvalidToken;
    }

    Result<Bytes> plaintext =
        backend_ == Backend::Aes256Gcm
            ? aes_backend::decrypt_owned(*aes_, aes_backend::Nonce(nonce->data(), AES_NONCE_LEN), std::move(*sealed),
                                         *context)
            : xchacha_backend::decrypt_owned(xchacha_key_.view(),
                                             xchacha_backend::Nonce(nonce->data(), XCHACHA_NONCE_LEN),
                                             std::move(*sealed), *context);
    if (!plaintext) {
        return plaintext.error();
    }

    // Only authentic contexts are interpreted: purpose first, then expiry.
    const auto parsed = aad::Context::from_bytes(*context);
    if (!parsed) {
        return NorvaneError::InvalidToken;
    }
    if (parsed->purpose != purpose) {
        return NorvaneError::WrongPurpose;
    }
    // Valid through second E - 1; E = 0 wraps to the largest value and so
    // never expires.
    if (parsed->expires_at - 1 < at) {
        return NorvaneError::Expired;
    }
    if (!is_valid_utf8(*plaintext)) {
        return NorvaneError::InvalidUtf8;
    }
    return plaintext;
}

}  // namespace norvane
