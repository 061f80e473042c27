// sys_io.h - standard input and output without stdio buffers, the clock,
// and the operating system's randomness.
//
// Plaintexts pass through here. They are read into and written from the
// caller's wiping buffers with read(2) and write(2) directly, so no copy is
// left behind in a stdio buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "norvane/bytes.h"

namespace norvane_cli {

// read_stdin reads standard input to its end, or until it holds more than
// `limit` bytes: then it stops and the result is limit + 1 bytes long,
// enough for the caller to see that the input is too long. Nothing on a
// read error.
std::optional<norvane::Bytes> read_stdin(std::size_t limit);

// write_all writes every byte to a descriptor; false on an error.
bool write_all(int fd, std::string_view bytes) noexcept;
bool write_all(int fd, norvane::ByteView bytes) noexcept;

// fill_os_random fills the whole buffer from getrandom(2), waiting, as it
// does, until the kernel's pool is ready; false when it cannot.
bool fill_os_random(std::span<std::uint8_t> buf) noexcept;

// names_a_file tells whether `path` names something in the file system
// (it is looked up with stat(2), never opened).
bool names_a_file(const std::string& path) noexcept;

// unix_now reads the real-time clock as whole seconds since 1970-01-01
// 00:00:00 UTC; nothing when the clock reads earlier than that or cannot be
// read.
std::optional<std::uint64_t> unix_now() noexcept;

}  // namespace norvane_cli
