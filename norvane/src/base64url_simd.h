// base64url_simd.h - 16-character blocks of the base64url codec with x86
// vector instructions. The same arithmetic as the scalar code: comparisons
// produce masks, nothing is indexed by data, no branch depends on data; the
// byte shuffles use fixed patterns only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvane::base64url::simd {

// available tells whether this CPU runs the kernels (SSSE3), decided once.
bool available() noexcept;

// encode_blocks turns 12-byte blocks of src into 16 characters each while
// at least 16 bytes remain readable, and returns the bytes consumed.
std::size_t encode_blocks(const std::uint8_t* src, std::size_t n, std::uint8_t* out) noexcept;

// decode_blocks turns 16-character blocks of text (no padding among them)
// into 12 bytes each, ORs 0x80 into `bad` for any character outside the
// alphabet, and returns the characters consumed (a multiple of 16).
std::size_t decode_blocks(const std::uint8_t* text, std::size_t n, std::uint8_t* out, std::uint8_t& bad) noexcept;

}  // namespace norvane::base64url::simd
