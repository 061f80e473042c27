// norvane/token.h - the token text: assembling it and taking it apart.
//
// A token is base64url(nonce) "." base64url(context record) "."
// base64url(ciphertext || tag), each field padded with "=".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "norvane/bytes.h"
#include "norvane/result.h"

namespace norvane {

// token_len is the exact text length for the given decoded field lengths.
std::size_t token_len(std::size_t nonce_len, std::size_t context_len, std::size_t sealed_len) noexcept;

// encode_token writes the three fields into one buffer allocated once at its
// exact final length. It has no failure that input can cause.
std::string encode_token(ByteView nonce, ByteView context, ByteView sealed);

// encode_token_into writes the token into `out`, which has room for exactly
// token_len(...) characters (a caller's own string storage, for example).
void encode_token_into(ByteView nonce, ByteView context, ByteView sealed, char* out);

// SealedSink provides the storage a token's sealed bytes are decoded into,
// once their length is known: a caller's own buffer, so that opening
// deciphers them where they land and the plaintext needs no copy.
class SealedSink {
public:
    virtual std::uint8_t* reserve(std::size_t len) = 0;

protected:
    ~SealedSink() = default;
};

// DecodedToken holds the three decoded fields of a token text. The nonce and
// the context record are kept inline when they have the lengths minting
// writes (a hostile token's longer ones go to the heap); the sealed bytes
// are in the sink's storage, or in a buffer of the token's own. Nothing in
// it is verified: the nonce may have any length and the context any content.
class DecodedToken {
public:
    ByteView nonce() const noexcept { return ByteView(fields_data(), nonce_len_); }
    ByteView context() const noexcept { return ByteView(fields_data() + nonce_len_, context_len_); }
    std::span<std::uint8_t> sealed() const noexcept { return sealed_.first(sealed_len_); }  // ciphertext || tag
    // sealed_storage is all the storage reserved for the sealed bytes: a
    // field's decoded length may fall short of what its text length allows.
    std::span<std::uint8_t> sealed_storage() const noexcept { return sealed_; }

private:
    friend Result<DecodedToken> decode_token(std::string_view token, SealedSink& sink);
    friend Result<DecodedToken> decode_token(std::string_view token);

    const std::uint8_t* fields_data() const noexcept { return large_.empty() ? small_.data() : large_.data(); }

    // A 24-byte nonce and a context record with a 255-byte purpose, rounded
    // up to whole base64 groups.
    static constexpr std::size_t INLINE_LEN = 24 + 267;
    std::array<std::uint8_t, INLINE_LEN> small_;
    Bytes large_;
    Bytes own_sealed_;
    std::size_t nonce_len_ = 0;
    std::size_t context_len_ = 0;
    std::size_t sealed_len_ = 0;
    std::span<std::uint8_t> sealed_;
};

// decode_token is the inverse of encode_token, and every reader of a token
// text takes it apart with it, opening included; the sealed bytes go to the
// sink's storage, or with no sink to the token's own buffer. Errors, first
// failing step wins: InvalidToken for a text longer than MAX_TOKEN_LEN
// (nothing is split, decoded or reserved then) or with fewer than two '.';
// InvalidBase64 for the first field, in the order nonce, context,
// ciphertext, that is not canonical padded base64url (a third '.' stays in
// the ciphertext field and fails there). Storage that the sealed field
// failed to decode into is wiped before the error is returned.
Result<DecodedToken> decode_token(std::string_view token, SealedSink& sink);
Result<DecodedToken> decode_token(std::string_view token);

}  // namespace norvane
