#include "norvane/norvane.h"

#include <array>

#include "backend.h"
#include "norvane/utf8.h"
#include "random.h"

namespace norvane {

static_assert(aad::MAX_RECORD_LEN == aad::HEADER_LEN + MAX_PURPOSE_LEN, "a record holds any purpose minting accepts");

// Payloads up to 1 KiB are sealed in a buffer on the stack.
constexpr std::size_t SMALL_SEALED_LEN = 1024 + TAG_LEN;

Norvane::Norvane(const BackendRow& row, std::unique_ptr<const PreparedKey> key) noexcept
    : row_(&row), key_(std::move(key)) {}
Norvane::Norvane(Norvane&&) noexcept = default;
Norvane& Norvane::operator=(Norvane&&) noexcept = default;
Norvane::~Norvane() = default;

Norvane Norvane::create(Backend backend, const Key& key) {
    const BackendRow& row = backend_row(backend);
    const CipherKey cipher_key = derive_cipher_key(backend, key);
    return Norvane(row, row.prepare(cipher_key.view()));
}

Backend Norvane::backend() const noexcept { return row_->backend; }

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
    if (auto written = encrypt_into(data, expires_at, purpose, sink); !written) {
        return written.error();
    }
    return std::move(sink.text);
}

Result<std::size_t> Norvane::encrypt_into(ByteView data, std::optional<std::uint64_t> expires_at,
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

    std::array<std::uint8_t, MAX_NONCE_LEN> nonce;
    const std::span<std::uint8_t> drawn(nonce.data(), row_->nonce_len);
    if (!fill_random(drawn)) {
        return NorvaneError::RandomnessUnavailable;
    }

    // Small payloads are sealed on the stack, larger ones in a buffer of
    // their own. Either holds only ciphertext and tag once sealed: what the
    // token shows anyway.
    std::array<std::uint8_t, SMALL_SEALED_LEN> small;
    Bytes large;
    std::uint8_t* sealed_at = small.data();
    if (data.size() + TAG_LEN > small.size()) {
        large.resize(data.size() + TAG_LEN);
        sealed_at = large.data();
    }
    const ByteView sealed(sealed_at, data.size() + TAG_LEN);
    key_->seal(drawn, context, data, sealed_at);
    const std::size_t len = token_len(drawn.size(), context.size(), sealed.size());
    encode_token_into(drawn, context, sealed, sink.reserve(len));
    return len;
}

Result<std::size_t> Norvane::decrypt_for_at_into(std::string_view token, std::string_view purpose,
                                                 std::uint64_t at, SealedSink& sink) const {
    FieldStorage storage;
    const auto fields = decode_token(token, storage, sink);
    if (!fields) {
        return fields.error();
    }
    // Whatever the storage holds is wiped unless the plaintext is handed on.
    struct WipeUnlessKept {
        std::span<std::uint8_t> storage;
        bool kept = false;
        ~WipeUnlessKept() {
            if (!kept) {
                secure_wipe(storage.data(), storage.size());
            }
        }
    } guard{fields->ciphertext};

    // A token of the other backend fails here, before any cryptographic work.
    if (fields->nonce.size() != row_->nonce_len) {
        return NorvaneError::InvalidToken;
    }
    if (fields->sealed_len < TAG_LEN ||
        !key_->open_detached(fields->nonce, fields->context, fields->ciphertext,
                             PreparedKey::Tag(fields->tag.data(), TAG_LEN))) {
        return NorvaneError::Tampered;
    }
    const ByteView plaintext = fields->ciphertext;

    // Only authentic contexts are interpreted: purpose first, then expiry.
    const auto parsed = aad::parse_context(fields->context);
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
    if (!is_valid_utf8(plaintext)) {
        return NorvaneError::InvalidUtf8;
    }
    guard.kept = true;
    return plaintext.size();
}

Result<Bytes> Norvane::decrypt_for_at(std::string_view token, std::string_view purpose, std::uint64_t at) const {
    BytesSink sink;
    auto len = decrypt_for_at_into(token, purpose, at, sink);
    if (!len) {
        return len.error();
    }
    return std::move(sink.bytes);
}

}  // namespace norvane
