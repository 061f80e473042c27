// utf8.h - the messages of the UTF-8 check that encrypt applies to its data.
#pragma once

#include "norvane/bytes.h"

namespace norvanes {

// check_data_utf8 returns true for valid UTF-8 (the core's validator
// decides); otherwise it raises ValueError with the interpreter's wording,
// "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte
// sequence from index I", from the place the core reports, and returns
// false.
bool check_data_utf8(norvane::ByteView data) noexcept;

}  // namespace norvanes
