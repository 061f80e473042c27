// norvane/token.h - the token text: assembling it and taking it apart.
//
// A token is base64url(nonce) "." base64url(context record) "."
// base64url(ciphertext || tag), each field padded with "=".
#pragma once

#include <cstddef>
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

// DecodedToken holds the three decoded fields of a token text. Nothing in it
// is verified: the nonce may have any length and the context any content.
struct DecodedToken {
    Bytes nonce;
    Bytes context;
    Bytes sealed;  // ciphertext || tag
};

// decode_token is the inverse of encode_token, and every reader of a token
// text takes it apart with it, opening included. Errors, first failing step
// wins: InvalidToken for a text longer than MAX_TOKEN_LEN (nothing is split
// or decoded then) or with fewer than two '.'; InvalidBase64 for the first
// field, in the order nonce, context, ciphertext, that is not canonical
// padded base64url (a third '.' stays in the ciphertext field and fails
// there).
Result<DecodedToken> decode_token(std::string_view token);

}  // namespace norvane
