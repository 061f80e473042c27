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

// MAX_RECORD_LEN is the longest record minting writes (a 255-byte purpose).
inline constexpr std::size_t MAX_RECORD_LEN = HEADER_LEN + 255;

// write_context_into writes the same record into `out` (room for
// HEADER_LEN + purpose.size() bytes) and returns its length.
std::size_t write_context_into(std::uint64_t expires_at, std::string_view purpose, std::uint8_t* out) noexcept;

// ContextView is a parsed record whose purpose refers to the record's own
// bytes: what opening needs, without a copy.
struct ContextView {
    std::uint64_t expires_at = 0;
    std::string_view purpose;
};

// parse_context parses a record as Context::from_bytes does.
std::optional<ContextView> parse_context(ByteView record) noexcept;

struct Context {
    std::uint64_t expires_at = 0;
    std::string purpose;

    // from_bytes parses a record. It refuses a wrong version, a short record,
    // a purpose length past the end, a non-UTF-8 purpose and trailing bytes,
    // all as one failure without detail.
    static std::optional<Context> from_bytes(ByteView record);
};

}  // namespace norvane::aad
