#include "primitives.h"

#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "norvane/bytes.h"
#include "random.h"
#include "stack_scrub.h"

namespace norvane {
namespace {

// libsodium's own randomness would probe getrandom in sodium_init and, where
// that is unavailable, keep a /dev/urandom descriptor open on whatever
// number comes free (standard input, if the program closed it), or end the
// process when the device cannot be opened. So libsodium is given the
// core's randomness instead.
//
// sodium_init itself draws 16 bytes: the canary of libsodium's guarded
// allocator (sodium_malloc), which the core never uses. That draw is served
// with fixed bytes, not from the operating system: importing the module and
// building Norvane objects use no randomness at all, so the method is
// chosen at the first mint (after a program has installed its sandbox), a
// process without randomness still builds objects and opens tokens, and a
// failure can only surface as a refused mint. The fixed bytes go only to
// the thread inside sodium_init, and only while it is there.
//
// Nothing else the core calls in libsodium draws random bytes. A program
// that links the core and calls libsodium's randomness itself gets
// fill_random's bytes; should fill_random fail there, libsodium's interface
// has no way to report it, and the process ends, as libsodium's own
// randomness would end it.
constinit thread_local bool t_in_sodium_init = false;

void sodium_random_buf(void* const buf, const std::size_t size) {
    if (t_in_sodium_init) {
        std::memset(buf, 0x5a, size);
        return;
    }
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

// warm_up makes every library call the adapters make once, on a zero key
// and zero data. In a program that binds functions lazily, the first call
// to each C library function these make goes through the dynamic linker's
// resolver, which saves the vector registers on the stack, below where the
// adapters clear after themselves; done here, that happens before any key
// is in those registers. (The module and the tool are linked with
// -z now and bind everything when loaded.)
void warm_up(const Primitives& p) noexcept {
    std::uint8_t key[32] = {}, iv[12] = {}, n16[16] = {}, data[64] = {}, tag[16] = {}, out[32];
    br_aes_gen_ctr_keys keys;
    p.aes_ctr->init(&keys.vtable, key, sizeof key);
    keys.vtable->run(&keys.vtable, iv, 0, data, sizeof data);
    p.ghash(tag, key, data, sizeof data);
    p.poly1305(key, iv, data, sizeof data, data, sizeof tag, tag, p.chacha20, 1);
    if (p.sodium_ready) {
        crypto_core_hchacha20(out, n16, key, nullptr);
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(data, tag, nullptr, data, sizeof data, n16, sizeof n16,
                                                           nullptr, iv, key);
        // The tag just made verifies; only the call matters here.
        [[maybe_unused]] const int verified = crypto_aead_chacha20poly1305_ietf_decrypt_detached(
            nullptr, nullptr, data, sizeof data, tag, n16, sizeof n16, iv, key);
        crypto_stream_chacha20_ietf_xor_ic(data, data, sizeof data, iv, 1, key);
    }
    secure_wipe(&keys, sizeof keys);
    secure_wipe(out, sizeof out);
}

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
        p.aes_scrub_len = AES_HARDWARE_SCRUB_LEN;
    } else {
        p.aes_scrub_len = AES_SOFTWARE_SCRUB_LEN;
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
    p.sodium_ready = randombytes_set_implementation(&sodium_randomness) == 0 && [] {
        t_in_sodium_init = true;
        const int r = sodium_init();
        t_in_sodium_init = false;
        return r >= 0;
    }();
    warm_up(p);
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
