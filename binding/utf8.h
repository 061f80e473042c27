// utf8.h - the UTF-8 check that encrypt applies to its data.
#pragma once

#include <cstddef>
#include <optional>

#include "norvane/bytes.h"

namespace norvanes {

// Utf8Error locates the first problem: `index` is the number of bytes
// before the offending sequence; `length` is the length of the invalid
// sequence (1 to 3), or 0 when the data ends inside a sequence.
struct Utf8Error {
    std::size_t index;
    std::size_t length;
};

// find_utf8_error checks the whole buffer (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF).
std::optional<Utf8Error> find_utf8_error(norvane::ByteView data) noexcept;

// check_utf8 returns true for valid UTF-8; otherwise it raises ValueError
// ("invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8
// byte sequence from index I") and returns false.
bool check_utf8(norvane::ByteView data) noexcept;

}  // namespace norvanes
