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

// SealedSink provides the storage a token's ciphertext (its sealed bytes
// but the tag) is decoded into, at its exact length once that is known: a
// caller's own buffer, so that opening deciphers it where it lands, and the
// plaintext needs neither a copy nor a shrinking that could leave one
// behind.
class SealedSink {
public:
    virtual std::uint8_t* reserve(std::size_t len) = 0;

protected:
    ~SealedSink() = default;
};

// BytesSink is a SealedSink that keeps the ciphertext in a buffer of its
// own.
class BytesSink final : public SealedSink {
public:
    std::uint8_t* reserve(std::size_t len) override {
        bytes.resize(len);
        return bytes.data();
    }
    Bytes bytes;
};

// FieldStorage holds a token's decoded nonce and context record: inline when
// they have the lengths minting writes, on the heap for a hostile token's
// longer ones. It lives where the caller puts it (opening: on the stack).
class FieldStorage {
public:
    FieldStorage() noexcept {}
    FieldStorage(const FieldStorage&) = delete;
    FieldStorage& operator=(const FieldStorage&) = delete;

    std::uint8_t* reserve(std::size_t len) {
        if (len <= small_.size()) {
            return small_.data();
        }
        large_.resize(len);
        return large_.data();
    }

    std::uint8_t* tag() noexcept { return tag_.data(); }

private:
    // A 24-byte nonce and a context record with a 255-byte purpose, each
    // rounded up to whole base64 groups.
    std::array<std::uint8_t, 24 + 267> small_;
    Bytes large_;
    std::array<std::uint8_t, 16> tag_;
};

// TokenFields are the three decoded fields of a token text, in the caller's
// FieldStorage and SealedSink. Nothing in them is verified: the nonce may
// have any length and the context any content.
struct TokenFields {
    ByteView nonce;
    ByteView context;
    std::size_t sealed_len;              // of ciphertext || tag
    std::span<std::uint8_t> ciphertext;  // in the sink; empty when the field is shorter than a tag
    ByteView tag;                        // in the FieldStorage; empty when the field is shorter than a tag
};

// decode_token is the inverse of encode_token, and every reader of a token
// text takes it apart with it, opening included. Errors, first failing step
// wins: InvalidToken for a text longer than MAX_TOKEN_LEN (nothing is split,
// decoded or reserved then) or with fewer than two '.'; InvalidBase64 for
// the first field, in the order nonce, context, ciphertext, that is not
// canonical padded base64url (a third '.' stays in the ciphertext field and
// fails there). The sink is asked for the ciphertext's exact length only
// when the field holds at least a tag; storage that the field failed to
// decode into is wiped before the error is returned.
Result<TokenFields> decode_token(std::string_view token, FieldStorage& fields, SealedSink& sink);

}  // namespace norvane
