// norvane/base64url.h - padded URL-safe base64 in constant time.
//
// Characters and 6-bit values are mapped arithmetically; no table is indexed
// by data and no branch depends on data except the padding at a field's
// end. The decoder accepts exactly the texts the encoder produces.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "norvane/bytes.h"

namespace norvane::base64url {

// encoded_len is the padded text length of n bytes.
constexpr std::size_t encoded_len(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

// decoded_capacity bounds the decoded length of a text of n characters.
constexpr std::size_t decoded_capacity(std::size_t n) noexcept { return n / 4 * 3; }

// encode writes exactly encoded_len(src.size()) characters at out and
// returns the position after them.
char* encode(ByteView src, char* out) noexcept;

// decode_into decodes a field into out (room for decoded_capacity bytes)
// and returns the decoded length, or nothing for a non-canonical text.
std::optional<std::size_t> decode_into(std::string_view text, std::uint8_t* out) noexcept;

// decode decodes a field into a new buffer of exactly its decoded length.
std::optional<Bytes> decode(std::string_view text);

}  // namespace norvane::base64url
