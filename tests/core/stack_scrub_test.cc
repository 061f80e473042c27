// stack_scrub_test.cc - no key material is left in dead stack memory once
// a key has been derived and prepared or a token sealed or opened, the
// scrub reaches as deep as the calls it clears after, and it never writes
// below the end of a thread's stack or an alternate signal stack.
//
// Each step runs on a stack of the test's own, painted with a pattern
// beforehand and searched afterwards, so that the whole region the step used
// can be read without touching anyone else's frames. The stack is a thread's
// (pthread_attr_setstack), which glibc and musl both offer; musl has no
// ucontext.
#include <bearssl.h>
#include <pthread.h>
#include <signal.h>
#include <sodium.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <functional>
#include <string>
#include <vector>

#include "aes_backend.h"
#include "norvane/key.h"
#include "norvane/norvane.h"
#include "primitives.h"
#include "stack_scrub.h"
#include "test_util.h"
#include "xchacha_backend.h"

namespace norvane {
namespace {

constexpr std::uint8_t kPaint = 0xA5;

class OwnStack {
public:
    OwnStack() : mem_(256 * 1024) {}

    // run paints the stack and runs `step` on it.
    void run(std::function<void()> step) {
        std::fill(mem_.begin(), mem_.end(), kPaint);
        step_ = std::move(step);
        pthread_attr_t attr;
        ASSERT_EQ(pthread_attr_init(&attr), 0);
        // The C library keeps the thread's own control block and TLS at the
        // top of the region; the step's frames lie below them.
        int rc = pthread_attr_setstack(&attr, mem_.data(), mem_.size());
        pthread_t thread{};
        if (rc == 0) {
            rc = pthread_create(&thread, &attr, &OwnStack::trampoline, this);
        }
        pthread_attr_destroy(&attr);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    }

    // depth is how many bytes below the step's entry were written: the
    // thread's control block, its TLS and the C library's thread start lie
    // above that and are no part of what a step uses.
    std::size_t depth() const {
        const auto first = std::find_if(mem_.begin(), mem_.end(), [](std::uint8_t b) { return b != kPaint; });
        return entry_ - static_cast<std::size_t>(first - mem_.begin());
    }

    // lowest is the address of the lowest byte written.
    std::uintptr_t lowest() const {
        const auto first = std::find_if(mem_.begin(), mem_.end(), [](std::uint8_t b) { return b != kPaint; });
        return reinterpret_cast<std::uintptr_t>(mem_.data() + (first - mem_.begin()));
    }

    // scrub_floor is the lowest address the step's last scrub cleared.
    std::uintptr_t scrub_floor() const { return floor_; }

    // holds tells whether any 8 consecutive bytes of `secret` lie on the
    // stack as they are, or with each 4-, 8- or 16-byte word byte-swapped
    // (the way a library keeps them in its native words, or GHASH keeps H
    // byte-reversed).
    bool holds(ByteView secret) const {
        for (const Bytes& form : forms(secret)) {
            for (std::size_t i = 0; i + 8 <= form.size(); ++i) {
                if (std::search(mem_.begin(), mem_.end(), form.begin() + static_cast<std::ptrdiff_t>(i),
                                form.begin() + static_cast<std::ptrdiff_t>(i + 8)) != mem_.end()) {
                    return true;
                }
            }
        }
        return false;
    }

private:
    static std::vector<Bytes> forms(ByteView secret) {
        std::vector<Bytes> out{Bytes(secret.begin(), secret.end())};
        for (std::size_t word : {4u, 8u, 16u}) {
            Bytes swapped(secret.begin(), secret.end());
            for (std::size_t i = 0; i + word <= swapped.size(); i += word) {
                std::reverse(swapped.begin() + static_cast<std::ptrdiff_t>(i),
                             swapped.begin() + static_cast<std::ptrdiff_t>(i + word));
            }
            out.push_back(std::move(swapped));
        }
        return out;
    }

    static void* trampoline(void* self) {
        auto* stack = static_cast<OwnStack*>(self);
        volatile std::uint8_t entry = 0;
        stack->entry_ = static_cast<std::size_t>(const_cast<std::uint8_t*>(&entry) - stack->mem_.data());
        // A thread's first scrub looks its stack's bounds up; that is done
        // here, and its frames painted over again, so that only the step's
        // own writes are seen below this frame.
        scrub_stack(0);
        std::fill(stack->mem_.begin(), stack->mem_.begin() + static_cast<std::ptrdiff_t>(stack->entry_ - 1024),
                  kPaint);
        stack->step_();
        stack->floor_ = last_scrub_floor();
        return nullptr;
    }

    std::vector<std::uint8_t> mem_;
    std::function<void()> step_;
    std::size_t entry_ = 0;
    std::uintptr_t floor_ = 0;
};

// A key whose octets, and whose derived keys, would not turn up by chance.
Key test_key() { return test::make_key(0x8a3f11c9d2e4b7a6, 0x51c0ffee7d3b9e28); }

ByteView view(const Key& k) { return ByteView(k.data(), k.size()); }

#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_ASAN() GTEST_SKIP() << "AddressSanitizer keeps its own stack frames"
#else
#define SKIP_UNDER_ASAN() (void)0
#endif

class StackResidue : public ::testing::TestWithParam<Backend> {};

TEST_P(StackResidue, DerivingTheCipherKeyLeavesNoKeyBytes) {
    SKIP_UNDER_ASAN();
    const Key key = test_key();
    const CipherKey expected = derive_cipher_key(GetParam(), key);
    OwnStack stack;
    stack.run([&] { CipherKey ck = derive_cipher_key(GetParam(), key); });
    EXPECT_FALSE(stack.holds(view(key))) << "key octets left on the stack";
    EXPECT_FALSE(stack.holds(expected.view())) << "cipher key left on the stack";
}

TEST_P(StackResidue, BuildingANorvaneLeavesNoKeyBytes) {
    SKIP_UNDER_ASAN();
    const Key key = test_key();
    const CipherKey expected = derive_cipher_key(GetParam(), key);
    OwnStack stack;
    stack.run([&] { Norvane nv = Norvane::create(GetParam(), key); });
    EXPECT_FALSE(stack.holds(view(key))) << "key octets left on the stack";
    EXPECT_FALSE(stack.holds(expected.view())) << "cipher key left on the stack";
}

INSTANTIATE_TEST_SUITE_P(Backends, StackResidue, ::testing::Values(Backend::Aes256Gcm, Backend::XChaCha20Poly1305),
                         [](const auto& info) {
                             return info.param == Backend::Aes256Gcm ? std::string("Aes") : std::string("XChaCha");
                         });

TEST(StackResidueAes, PreparingTheKeyScheduleLeavesNoKeyBytes) {
    SKIP_UNDER_ASAN();
    const CipherKey ck = derive_cipher_key(Backend::Aes256Gcm, test_key());
    for (const aes_backend::Engine e : aes_backend::engines()) {
        OwnStack stack;
        stack.run([&] { auto key = aes_backend::prepare_with(e, ck.view()); });
        EXPECT_FALSE(stack.holds(ck.view())) << aes_backend::engine_name(e)
                                             << ": cipher key or first round keys left on the stack";
    }
}

// Sealing and opening clear after themselves too: BearSSL's AES-NI code
// spills round keys and its GHASH code H, its bitsliced code expands round
// keys on the stack, ChaCha20 keeps the per-token subkey in its state, and
// so do libsodium's HChaCha20 and ChaCha20 code in their frames. Every path
// runs: AES-256-GCM short (one CTR and one GHASH call) and long, and the
// XChaCha20-Poly1305 adapter on each of its engines, on a payload long
// enough for libsodium's multi-block code.
struct Keys {
    CipherKey ck = derive_cipher_key(Backend::Aes256Gcm, test_key());
    std::unique_ptr<AesGcmContext> ctx = aes_backend::prepare(ck.view());
    XChaChaKey xkey{ck.view()};
    std::array<std::uint8_t, AES_NONCE_LEN> n12{1, 2, 3};
    std::array<std::uint8_t, XCHACHA_NONCE_LEN> n24{4, 5, 6};
    Bytes aad = Bytes(17, 1);

    // h is the GHASH key, AES(K, 0^128), worked out with BearSSL's portable
    // AES apart from the adapter.
    Bytes h() const {
        br_aes_ct_ctr_keys k;
        br_aes_ct_ctr_init(&k, ck.data(), ck.size());
        Bytes out(16, 0);
        const std::uint8_t iv[12] = {};
        br_aes_ct_ctr_run(&k, iv, 0, out.data(), out.size());
        secure_wipe(&k, sizeof k);
        return out;
    }

    Bytes subkey() const {
        Bytes out(32);
        crypto_core_hchacha20(out.data(), n24.data(), ck.data(), nullptr);
        return out;
    }
};

struct Step {
    std::string name;
    std::function<void()> run;
};

std::vector<Step> seal_and_open_steps(const Keys& k) {
    std::vector<Step> steps;
    for (const aes_backend::Engine e : aes_backend::engines()) {
        std::shared_ptr<const PreparedKey> key = aes_backend::prepare_with(e, k.ck.view());
        for (std::size_t len : {std::size_t{100}, std::size_t{3000}}) {
            const Bytes pt(len, 7);
            const Bytes sealed = aes_backend::encrypt(*key, k.n12, k.aad, pt);
            Bytes forged = sealed;
            forged[0] ^= 1;
            const std::string name =
                std::string("aes ") + aes_backend::engine_name(e) + " " + std::to_string(len) + " B";
            steps.push_back({name + " seal", [&k, key, pt] { Bytes b = aes_backend::encrypt(*key, k.n12, k.aad, pt); }});
            steps.push_back({name + " open", [&k, key, sealed] {
                                 EXPECT_TRUE(aes_backend::decrypt(*key, k.n12, sealed, k.aad).ok());
                             }});
            steps.push_back({name + " open, forged", [&k, key, forged] {
                                 EXPECT_FALSE(aes_backend::decrypt(*key, k.n12, forged, k.aad).ok());
                             }});
        }
    }
    for (const xchacha_backend::Engine e : xchacha_backend::kAllEngines) {
        for (std::size_t len : {std::size_t{100}, std::size_t{3000}}) {
            const Bytes pt(len, 7);
            Bytes sealed(pt.size() + TAG_LEN);
            k.xkey.seal_with(e, k.n24, k.aad, pt, sealed.data());
            Bytes forged = sealed;
            forged[0] ^= 1;
            const std::string name =
                std::string("xchacha ") + xchacha_backend::engine_name(e) + " " + std::to_string(len) + " B";
            steps.push_back({name + " seal", [&k, pt, e] {
                                 Bytes out(pt.size() + TAG_LEN);
                                 k.xkey.seal_with(e, k.n24, k.aad, pt, out.data());
                             }});
            steps.push_back({name + " open", [&k, sealed, e] {
                                 Bytes buf = sealed;
                                 EXPECT_TRUE(k.xkey.open_with(e, k.n24, k.aad, buf));
                             }});
            steps.push_back({name + " open, forged", [&k, forged, e] {
                                 Bytes buf = forged;
                                 EXPECT_FALSE(k.xkey.open_with(e, k.n24, k.aad, buf));
                             }});
        }
    }
    return steps;
}

TEST(StackResidueCalls, SealAndOpenLeaveNoKeyBytes) {
    SKIP_UNDER_ASAN();
    const Keys k;
    const Bytes h = k.h(), subkey = k.subkey();
    for (const Step& step : seal_and_open_steps(k)) {
        OwnStack stack;
        stack.run(step.run);
        EXPECT_FALSE(stack.holds(k.ck.view())) << step.name << ": cipher key or round keys left on the stack";
        EXPECT_FALSE(stack.holds(h)) << step.name << ": GHASH key H left on the stack";
        EXPECT_FALSE(stack.holds(subkey)) << step.name << ": subkey left on the stack";
    }
}

// Every path's writes, the adapter's own frames and the libraries' below
// them, lie within the region its scrub clears: nothing on the painted
// stack was written further down than the scrub's lowest byte, except by
// the scrub's own call to the wiping function, whose reach is measured on
// a scrub run alone.
TEST(StackResidueDepth, EveryPathStaysWithinItsScrub) {
    SKIP_UNDER_ASAN();
    OwnStack alone;
    alone.run([] { scrub_stack(SETUP_SCRUB_LEN); });
    ASSERT_GE(alone.scrub_floor(), alone.lowest());
    const std::uintptr_t wipe_reach = alone.scrub_floor() - alone.lowest();
    EXPECT_LT(wipe_reach, 512u);
    const Keys k;
    std::vector<Step> steps = seal_and_open_steps(k);
    steps.push_back({"derive", [] { CipherKey ck = derive_cipher_key(Backend::XChaCha20Poly1305, test_key()); }});
    for (const aes_backend::Engine e : aes_backend::engines()) {
        steps.push_back({std::string("prepare aes ") + aes_backend::engine_name(e),
                         [&k, e] { auto key = aes_backend::prepare_with(e, k.ck.view()); }});
    }
    const Primitives& p = primitives();
    for (const Step& step : steps) {
        OwnStack stack;
        stack.run(step.run);
        const std::uintptr_t floor = stack.scrub_floor(), lowest = stack.lowest();
        EXPECT_GE(lowest + wipe_reach, floor) << step.name << " (" << p.aes_name << ", " << p.chacha20_name
                                              << "): written " << floor - wipe_reach - lowest
                                              << " bytes below the scrub";
    }
}

// The library calls alone, without the adapters' frames above them, stay
// well within the scrubs: each call, on a painted stack, stays within its
// bound (the frames of the test's own lambda included).
TEST(StackResidueDepth, ScrubsCoverTheLibraryCalls) {
    SKIP_UNDER_ASAN();
    const CipherKey ck = derive_cipher_key(Backend::Aes256Gcm, test_key());
    const Primitives& p = primitives();
    br_aes_gen_ctr_keys keys;
    p.aes_ctr->init(&keys.vtable, ck.data(), ck.size());
    Bytes long_data(3000, 0);
    struct Step {
        const char* name;
        std::size_t bound;
        std::function<void()> run;
    };
    const Step steps[] = {
        {"sha256", SETUP_SCRUB_LEN,
         [&] {
             br_sha256_context sha;
             br_sha256_init(&sha);
             br_sha256_update(&sha, ck.data(), 16);
             std::uint8_t out[32];
             br_sha256_out(&sha, out);
         }},
        {"aes key schedule", SETUP_SCRUB_LEN,
         [&] {
             br_aes_gen_ctr_keys k;
             p.aes_ctr->init(&k.vtable, ck.data(), ck.size());
         }},
        {"aes ctr", p.aes_scrub_len,
         [&] {
             std::uint8_t iv[12] = {}, block[80] = {};
             keys.vtable->run(&keys.vtable, iv, 0, block, sizeof block);
         }},
        {"ghash", p.aes_scrub_len,
         [&] {
             std::uint8_t y[16] = {}, data[80] = {};
             p.ghash(y, ck.data(), data, sizeof data);
         }},
        {"chacha20 and poly1305", BEARSSL_CHACHA_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {}, data[80] = {}, tag[16];
             p.poly1305(ck.data(), iv, data, sizeof data, data, sizeof data, tag, p.chacha20, 1);
         }},
        // libsodium's, on enough data for its widest ChaCha20 code.
        {"libsodium hchacha20", SODIUM_SCRUB_LEN,
         [&] {
             std::uint8_t n16[16] = {}, out[32];
             crypto_core_hchacha20(out, n16, ck.data(), nullptr);
         }},
        {"libsodium chacha20-poly1305 seal", SODIUM_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {}, tag[16];
             crypto_aead_chacha20poly1305_ietf_encrypt_detached(long_data.data(), tag, nullptr, long_data.data(),
                                                                long_data.size(), iv, sizeof iv, nullptr, iv,
                                                                ck.data());
         }},
        {"libsodium chacha20-poly1305 verify", SODIUM_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {}, tag[16] = {};
             const int rc = crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                 nullptr, nullptr, long_data.data(), long_data.size(), tag, iv, sizeof iv, iv, ck.data());
             EXPECT_EQ(rc, -1);  // a zero tag
         }},
        {"libsodium chacha20", SODIUM_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {};
             crypto_stream_chacha20_ietf_xor_ic(long_data.data(), long_data.data(), long_data.size(), iv, 1,
                                                ck.data());
         }},
    };
    for (const Step& step : steps) {
        OwnStack stack;
        stack.run(step.run);
        EXPECT_LT(stack.depth(), step.bound) << step.name << " (" << p.aes_name << ", " << p.chacha20_name << ")";
        EXPECT_GT(stack.depth(), 0u) << step.name;
    }
    secure_wipe(&keys, sizeof keys);
}

// Painted memory with a stack inside it: the stack is its top `stack_len`
// bytes; everything below must stay as painted, whatever runs on the stack.
class StackWithGround {
public:
    StackWithGround(std::size_t ground_len, std::size_t stack_len) : mem_(ground_len + stack_len, kPaint) {
        ground_ = ground_len;
    }
    void* stack() { return mem_.data() + ground_; }
    std::size_t stack_len() const { return mem_.size() - ground_; }
    // trodden is how many bytes below the stack were written.
    std::size_t trodden() const {
        const auto first = std::find_if(mem_.begin(), mem_.begin() + static_cast<std::ptrdiff_t>(ground_),
                                        [](std::uint8_t b) { return b != kPaint; });
        return static_cast<std::size_t>(mem_.begin() + static_cast<std::ptrdiff_t>(ground_) - first);
    }

private:
    std::vector<std::uint8_t> mem_;
    std::size_t ground_;
};

// mint_both mints and opens a token of each backend, with a payload long
// enough for libsodium's engine, whose scrub is the deepest.
bool mint_both() {
    bool ok = true;
    const Bytes data(3000, 'a');
    for (Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
        const Norvane nv = Norvane::create(b, test_key());
        auto token = nv.encrypt(data, std::nullopt, std::nullopt);
        ok = ok && token.ok() && nv.decrypt_for_at(*token, "session", 0).ok();
    }
    return ok;
}

constexpr std::size_t kSmallStack = 8 * 1024;

// A signal handler on a small alternate stack mints: the scrubs stop at the
// stack's end.
std::atomic<bool> g_minted_in_handler{false};

TEST(StackScrubBounds, NeverBelowAnAlternateSignalStack) {
    SKIP_UNDER_ASAN();
    mint_both();  // one-time set-up (the primitives, the randomness method) happens off the small stack
    StackWithGround mem(64 * 1024, kSmallStack);
    stack_t alt{}, old{};
    alt.ss_sp = mem.stack();
    alt.ss_size = mem.stack_len();
    ASSERT_EQ(sigaltstack(&alt, &old), 0);
    struct sigaction act{}, previous{};
    act.sa_handler = [](int) { g_minted_in_handler = mint_both(); };
    act.sa_flags = SA_ONSTACK;
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &previous), 0);
    raise(SIGUSR1);
    sigaction(SIGUSR1, &previous, nullptr);
    sigaltstack(&old, nullptr);
    EXPECT_TRUE(g_minted_in_handler.load());
    EXPECT_EQ(mem.trodden(), 0u) << "bytes written below the alternate signal stack";
}

// The part of the thread's stack above the minting frame: at least what the
// C library accepts for a whole stack (128 KiB with aarch64's glibc).
std::size_t g_thread_upper = 0;

// A thread with a small stack of its own mints near that stack's end.
TEST(StackScrubBounds, NeverBelowAThreadsStack) {
    SKIP_UNDER_ASAN();
    mint_both();
    const long least = sysconf(_SC_THREAD_STACK_MIN);
    g_thread_upper = std::max<std::size_t>(64 * 1024, least > 0 ? static_cast<std::size_t>(least) : 0);
    StackWithGround mem(64 * 1024, g_thread_upper + kSmallStack);
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstack(&attr, mem.stack(), mem.stack_len()), 0);
    static bool minted = false;
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* arg) -> void* {
                      // Leave kSmallStack of the stack below this frame.
                      auto* stack = static_cast<std::uint8_t*>(arg);
                      volatile std::uint8_t here = 0;
                      const auto used = static_cast<std::size_t>(stack + g_thread_upper + kSmallStack - &here);
                      auto* spacer = static_cast<volatile std::uint8_t*>(__builtin_alloca(g_thread_upper - used));
                      spacer[0] = 1;
                      minted = mint_both();
                      return nullptr;
                  },
                  mem.stack()),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(minted);
    EXPECT_EQ(mem.trodden(), 0u) << "bytes written below the thread's stack";
}

}  // namespace
}  // namespace norvane
