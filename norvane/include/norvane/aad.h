// norvane/aad.h - the context record: the associated data every token
// carries in its second field, authenticated but not encrypted.
//
//   offset 0  version     1 byte, always CONTEXT_VERSION
//   offset 1  expires_at  8 bytes, big-endian Unix seconds; 0 = never
//   offset 9  p           1 byte, purpose length
//   offset 10 purpose     p bytes of UTF-8
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "norvane/bytes.h"

namespace norvane::aad {

inline constexpr std::size_t HEADER_LEN = 10;

// write_context returns the record for an expiry (0 for none) and a purpose
// of at most 255 bytes; minting checks the purpose length before calling it.
Bytes write_context(std::uint64_t expires_at, std::string_view purpose);

struct Context {
    std::uint64_t expires_at = 0;
    std::string purpose;

    // from_bytes parses a record. It refuses a wrong version, a short record,
    // a purpose length past the end, a non-UTF-8 purpose and trailing bytes,
    // all as one failure without detail.
    static std::optional<Context> from_bytes(ByteView record);
};

}  // namespace norvane::aad
