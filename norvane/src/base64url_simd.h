// base64url_simd.h - the kernels of the base64url codec and their choice.
//
// The scalar code is the reference; two x86 kernels do the bulk of long
// fields in blocks (SSSE3: 16 characters, AVX2: 32 characters) with the same
// arithmetic: comparisons produce masks, nothing is indexed by data, no
// branch depends on data, and byte moves use fixed shuffle patterns only.
// What a block kernel leaves over goes to the next narrower kernel and
// finally to the scalar code, so every kernel gives the same text and the
// same verdict as the scalar code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "norvane/bytes.h"

namespace norvane::base64url {

enum class Kernel : std::uint8_t { Scalar, Ssse3, Avx2 };

inline constexpr Kernel kAllKernels[] = {Kernel::Scalar, Kernel::Ssse3, Kernel::Avx2};

// kernel_name is "scalar", "ssse3" or "avx2".
const char* kernel_name(Kernel k) noexcept;

// cpu_runs tells whether this CPU (and its operating system) runs kernel k.
bool cpu_runs(Kernel k) noexcept;

// chosen_kernel is the kernel encode and decode_into use: the widest one
// this CPU runs, or the scalar code under NORVANE_FORCE_SOFTWARE=1. Chosen
// once per process.
Kernel chosen_kernel() noexcept;

// encode_with and decode_into_with are encode and decode_into with a given
// kernel, for tests and the constant-time check; cpu_runs(k) must hold.
char* encode_with(Kernel k, ByteView src, char* out) noexcept;
std::optional<std::size_t> decode_into_with(Kernel k, std::string_view text, std::uint8_t* out) noexcept;

namespace simd {

// encode_blocks_* turn groups of 3 bytes of src into 4 characters each, a
// block at a time (SSSE3: 12 bytes, reading 16; AVX2: 24 bytes, reading 28)
// while enough bytes remain readable, and return the bytes consumed.
std::size_t encode_blocks_ssse3(const std::uint8_t* src, std::size_t n, std::uint8_t* out) noexcept;
std::size_t encode_blocks_avx2(const std::uint8_t* src, std::size_t n, std::uint8_t* out) noexcept;

// decode_blocks_* turn blocks of text (no padding among them; SSSE3: 16
// characters into 12 bytes, AVX2: 32 into 24), OR 0x80 into `bad` for any
// character outside the alphabet, and return the characters consumed.
std::size_t decode_blocks_ssse3(const std::uint8_t* text, std::size_t n, std::uint8_t* out,
                                std::uint8_t& bad) noexcept;
std::size_t decode_blocks_avx2(const std::uint8_t* text, std::size_t n, std::uint8_t* out,
                               std::uint8_t& bad) noexcept;

}  // namespace simd
}  // namespace norvane::base64url
