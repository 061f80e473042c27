// stack_scrub.h - clearing the dead stack below calls into a C library.
//
// BearSSL keeps its working state on the stack (a copy of the SHA-256
// context, expanded or spilled AES round keys, the ChaCha20 state, the
// one-time Poly1305 key) and leaves it there when it returns. Where that
// state is key material, the caller clears the stack region the calls used
// before going on.
#pragma once

#include <string.h>

#include <cstddef>

namespace norvane {

// Bounds of the stack depth of the BearSSL calls the core makes on key
// material, with room to spare (the deepest, the bitsliced AES key
// expansion of a CTR run, takes under 1.8 KiB on x86_64); the core tests
// measure the depths and check that these cover them.
inline constexpr std::size_t CALL_SCRUB_LEN = 2048;   // after each seal and open
// AES-NI and PCLMUL keep their state in registers and spill little: after
// their calls a shallower scrub does, which matters for short tokens.
inline constexpr std::size_t HARDWARE_CALL_SCRUB_LEN = 1024;
inline constexpr std::size_t SETUP_SCRUB_LEN = 4096;  // after deriving and preparing a key

// scrub_stack zeroes Len bytes of stack below the caller's frame: called
// right after library calls return, it overwrites the frames they used. It
// is never inlined, and its writes cannot be dropped.
template <std::size_t Len>
__attribute__((noinline)) void scrub_stack() noexcept {
    unsigned char area[Len];
    explicit_bzero(area, sizeof area);
    // The area's address escapes, so the frame really is this large.
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

}  // namespace norvane
