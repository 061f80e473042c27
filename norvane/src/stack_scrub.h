// stack_scrub.h - clearing the dead stack below calls into a C library.
//
// BearSSL keeps its working state on the stack (a copy of the SHA-256
// context, expanded or spilled AES round keys, the GHASH key H, the ChaCha20
// state, the one-time Poly1305 key) and leaves it there when it returns;
// libsodium wipes its named buffers but not what its HChaCha20 and ChaCha20
// code spill. Where that state is key material, the caller clears the stack
// region its calls used before going on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvane {

// How much stack each kind of call path is cleared of: how deep it reaches
// below the adapter's frame (the adapter's own helpers and the library's
// frames under them), measured, plus a margin of about 1 KiB. Measured on
// x86_64 with GCC 12: BearSSL's AES-256-GCM 0.4 KiB on AES-NI and PCLMUL,
// 1.5 KiB on the bitsliced code (which expands the round keys on the
// stack); libsodium's 0.6 KiB; BearSSL's ChaCha20-Poly1305 0.4 KiB,
// libsodium's 2.1 KiB. The core tests measure every path on a painted
// stack, on the code each CPU runs, and fail where anything is written
// below the cleared region.
inline constexpr std::size_t AES_HARDWARE_SCRUB_LEN = 1536;     // after an AES-NI and PCLMUL seal or open
inline constexpr std::size_t AES_SOFTWARE_SCRUB_LEN = 2560;     // on BearSSL's bitsliced AES and GHASH
inline constexpr std::size_t SODIUM_AES_SCRUB_LEN = 1536;       // on libsodium's AES-256-GCM
inline constexpr std::size_t BEARSSL_CHACHA_SCRUB_LEN = 1536;   // on BearSSL's ChaCha20 and Poly1305
inline constexpr std::size_t SODIUM_SCRUB_LEN = 3072;           // on libsodium's ChaCha20-Poly1305
inline constexpr std::size_t SETUP_SCRUB_LEN = 4096;            // after deriving and preparing a key

// scrub_stack zeroes `len` bytes of stack below the caller's frame: called
// right after library calls return, it overwrites the frames they used. It
// never writes below the end of the stack it runs on (the thread's stack,
// or the alternate signal stack a handler runs on): there it clears only
// what lies above that end, less a little room for its own call to the
// wiping function. On a stack the program made and switched to itself,
// whose end the core cannot know, it clears `len` bytes. Its writes cannot
// be dropped; it is never inlined.
void scrub_stack(std::size_t len) noexcept;

// last_scrub_floor is the lowest address the calling thread's last scrub
// cleared. Tests only.
std::uintptr_t last_scrub_floor() noexcept;

}  // namespace norvane
