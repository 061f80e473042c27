// primitives.h - which BearSSL implementations this CPU runs, and
// libsodium made ready.
//
// Hardware AES-NI/PCLMUL/SSE2 code where the CPU has it, the constant-time
// bitsliced software code otherwise; the choice is made once per process.
// NORVANE_FORCE_SOFTWARE=1 (for tests, read once) forces the software paths,
// the base64url codec's scalar code included.
//
// The same one-time step runs sodium_init, which makes libsodium pick its
// own ChaCha20 and Poly1305 code for the CPU; NORVANE_FORCE_SOFTWARE does
// not reach into that choice (scripts/consttime links a libsodium whose
// choice can only fall on its portable code).
#pragma once

#include <bearssl.h>

#include <cstddef>

namespace norvane {

struct Primitives {
    const br_block_ctr_class* aes_ctr;
    br_ghash ghash;
    br_chacha20_run chacha20;
    br_poly1305_run poly1305;
    // aes_scrub_len is how much stack the core clears after each seal and
    // open of the chosen AES and GHASH: less for the hardware code.
    std::size_t aes_scrub_len;
    const char* aes_name;
    const char* ghash_name;
    const char* chacha20_name;
    const char* poly1305_name;
    // sodium_ready tells whether sodium_init succeeded; without it, long
    // XChaCha20-Poly1305 payloads stay on BearSSL too.
    bool sodium_ready;
};

const Primitives& primitives() noexcept;

// software_forced tells whether NORVANE_FORCE_SOFTWARE=1 asks for the
// portable code paths (read once per process).
bool software_forced() noexcept;

}  // namespace norvane
