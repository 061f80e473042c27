// norvane/utf8.h - strict UTF-8 validation (no overlongs, no surrogates,
// nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "norvane/bytes.h"

namespace norvane {

// Utf8Error locates the first problem: `valid_up_to` bytes before it are
// valid. `error_len` is the length of the invalid sequence (1 to 3), or 0
// when the input ends inside a sequence whose bytes so far are allowed.
struct Utf8Error {
    std::size_t valid_up_to;
    std::uint8_t error_len;
};

// check_utf8 returns nothing for valid input, else where it goes wrong.
std::optional<Utf8Error> check_utf8(ByteView bytes) noexcept;

inline bool is_valid_utf8(ByteView bytes) noexcept { return !check_utf8(bytes).has_value(); }

// is_ascii tells whether no byte has its top bit set.
bool is_ascii(ByteView bytes) noexcept;

}  // namespace norvane
