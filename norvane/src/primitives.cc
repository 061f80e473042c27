#include "primitives.h"

#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "random.h"
#include "stack_scrub.h"

namespace norvane {
namespace {

// libsodium's own randomness would probe getrandom in sodium_init and, where
// that is unavailable, keep a /dev/urandom descriptor open on whatever
// number comes free (standard input, if the program closed it), or end the
// process when the device cannot be opened. The core never asks libsodium
// for random bytes; should anything in it ever do, they come from the
// core's one source, fill_random, and a failure there ends the process (the
// interface has no way to report it).
void sodium_random_buf(void* const buf, const std::size_t size) {
    if (!fill_random(std::span<std::uint8_t>(static_cast<std::uint8_t*>(buf), size))) {
        std::fputs("norvane: the system's randomness failed while libsodium needed random bytes\n", stderr);
        std::abort();
    }
}

std::uint32_t sodium_random() {
    std::uint32_t v;
    sodium_random_buf(&v, sizeof v);
    return v;
}

const char* sodium_random_name() { return "norvane fill_random"; }

// Non-const: randombytes_set_implementation takes a mutable pointer.
randombytes_implementation sodium_randomness = {
    &sodium_random_name, &sodium_random, nullptr, nullptr, &sodium_random_buf, nullptr,
};

Primitives select() noexcept {
    Primitives p{};
    const bool hw = !software_forced();

    const br_block_ctr_class* aes = hw ? br_aes_x86ni_ctr_get_vtable() : nullptr;
    br_ghash gh = hw ? br_ghash_pclmul_get() : nullptr;
    if (aes != nullptr && gh != nullptr) {
        p.aes_ctr = aes;
        p.aes_name = "aes_x86ni";
        p.ghash = gh;
        p.ghash_name = "ghash_pclmul";
        p.aes_call_scrub = HARDWARE_CALL_SCRUB_LEN;
    } else {
        p.aes_call_scrub = CALL_SCRUB_LEN;
#if UINTPTR_MAX > 0xFFFFFFFFu
        p.aes_ctr = &br_aes_ct64_ctr_vtable;
        p.aes_name = "aes_ct64";
        p.ghash = &br_ghash_ctmul64;
        p.ghash_name = "ghash_ctmul64";
#else
        p.aes_ctr = &br_aes_ct_ctr_vtable;
        p.aes_name = "aes_ct";
        p.ghash = &br_ghash_ctmul32;
        p.ghash_name = "ghash_ctmul32";
#endif
    }

    br_chacha20_run chacha = hw ? br_chacha20_sse2_get() : nullptr;
    p.chacha20 = chacha != nullptr ? chacha : &br_chacha20_ct_run;
    p.chacha20_name = chacha != nullptr ? "chacha20_sse2" : "chacha20_ct";

    br_poly1305_run poly = hw ? br_poly1305_ctmulq_get() : nullptr;
    p.poly1305 = poly != nullptr ? poly : &br_poly1305_ctmul_run;
    p.poly1305_name = poly != nullptr ? "poly1305_ctmulq" : "poly1305_ctmul";

    // The randomness is set before sodium_init, as libsodium requires. Then
    // 0: initialised now, 1: already (by another user of this copy), -1:
    // failed. Thread-safe; this runs once anyway.
    p.sodium_ready = randombytes_set_implementation(&sodium_randomness) == 0 && sodium_init() >= 0;
    return p;
}

}  // namespace

bool software_forced() noexcept {
    static const bool forced = [] {
        const char* v = std::getenv("NORVANE_FORCE_SOFTWARE");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return forced;
}

const Primitives& primitives() noexcept {
    static const Primitives chosen = select();
    return chosen;
}

}  // namespace norvane
