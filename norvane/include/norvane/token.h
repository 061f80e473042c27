// norvane/token.h - assembling the token text.
//
// A token is base64url(nonce) "." base64url(context record) "."
// base64url(ciphertext || tag), each field padded with "=".
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "norvane/bytes.h"

namespace norvane {

// InternalFault is thrown only when one of the core's own invariants breaks;
// no input can cause it. The Python module turns it into its fault exception.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// token_len is the exact text length for the given decoded field lengths.
std::size_t token_len(std::size_t nonce_len, std::size_t context_len, std::size_t sealed_len) noexcept;

// encode_token writes the three fields into one buffer allocated once at its
// exact final length. It has no failure that input can cause.
std::string encode_token(ByteView nonce, ByteView context, ByteView sealed);

// encode_token_into writes the token into `out`, which has room for exactly
// token_len(...) characters (a caller's own string storage, for example).
void encode_token_into(ByteView nonce, ByteView context, ByteView sealed, char* out);

}  // namespace norvane
