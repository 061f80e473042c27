#include "primitives.h"

#include "stack_scrub.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace norvane {
namespace {

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
