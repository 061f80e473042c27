// stack_scrub_test.cc - no key material is left in dead stack memory once
// a key has been derived and prepared, and the scrub reaches as deep as the
// library calls it clears after.
//
// Each step runs on a stack of the test's own, painted with a pattern
// beforehand and searched afterwards, so that the whole region the step used
// can be read without touching anyone else's frames. The stack is a thread's
// (pthread_attr_setstack), which glibc and musl both offer; musl has no
// ucontext.
#include <bearssl.h>
#include <sodium.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <algorithm>
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

    // holds tells whether any 8 consecutive bytes of `secret` lie on the
    // stack as they are, or with each 4- or 8-byte word byte-swapped (the
    // way a library keeps them in its native words).
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
        for (std::size_t word : {4u, 8u}) {
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
        stack->step_();
        return nullptr;
    }

    std::vector<std::uint8_t> mem_;
    std::function<void()> step_;
    std::size_t entry_ = 0;
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
    OwnStack stack;
    stack.run([&] { auto ctx = aes_backend::prepare(ck.view()); });
    EXPECT_FALSE(stack.holds(ck.view())) << "cipher key or first round keys left on the stack";
}

// Sealing and opening clear after themselves too: BearSSL's AES-NI code
// spills round keys, its bitsliced code expands them on the stack, ChaCha20
// keeps the per-token subkey in its state, and so do libsodium's HChaCha20
// and ChaCha20 code in their frames. The XChaCha20-Poly1305 adapter is run
// on each of its engines, on a payload long enough for libsodium's
// multi-block code.
TEST(StackResidueCalls, SealAndOpenLeaveNoKeyBytes) {
    SKIP_UNDER_ASAN();
    const CipherKey ck = derive_cipher_key(Backend::Aes256Gcm, test_key());
    auto ctx = aes_backend::prepare(ck.view());
    const XChaChaKey xkey(ck.view());
    const std::array<std::uint8_t, AES_NONCE_LEN> n12{1, 2, 3};
    const std::array<std::uint8_t, XCHACHA_NONCE_LEN> n24{4, 5, 6};
    std::uint8_t subkey[32];
    crypto_core_hchacha20(subkey, n24.data(), ck.data(), nullptr);
    const Bytes aad(17, 1);
    struct Step {
        std::string name;
        std::function<void()> run;
    };
    std::vector<Step> steps;
    const Bytes short_pt(100, 7);
    const Bytes aes_sealed = aes_backend::encrypt(*ctx, n12, aad, short_pt);
    steps.push_back({"aes seal", [&] { Bytes b = aes_backend::encrypt(*ctx, n12, aad, short_pt); }});
    steps.push_back({"aes open", [&] { auto r = aes_backend::decrypt(*ctx, n12, aes_sealed, aad); }});
    const Bytes long_pt(3000, 7);
    for (const xchacha_backend::Engine e : xchacha_backend::kAllEngines) {
        for (const Bytes* payload : {&short_pt, &long_pt}) {
            const Bytes& pt = *payload;
            Bytes sealed(pt.size() + TAG_LEN);
            xkey.seal_with(e, n24, aad, pt, sealed.data());
            Bytes forged = sealed;
            forged[0] ^= 1;
            const std::string name = std::string("xchacha ") + xchacha_backend::engine_name(e) + " " +
                                     std::to_string(pt.size()) + " B";
            steps.push_back({name + " seal", [&xkey, &n24, &aad, pt, e] {
                                 Bytes out(pt.size() + TAG_LEN);
                                 xkey.seal_with(e, n24, aad, pt, out.data());
                             }});
            steps.push_back({name + " open", [&xkey, &n24, &aad, sealed, e] {
                                 Bytes buf = sealed;
                                 EXPECT_TRUE(xkey.open_with(e, n24, aad, buf));
                             }});
            steps.push_back({name + " open, forged", [&xkey, &n24, &aad, forged, e] {
                                 Bytes buf = forged;
                                 EXPECT_FALSE(xkey.open_with(e, n24, aad, buf));
                             }});
        }
    }
    const ByteView subkey_view(subkey, sizeof subkey);
    for (const Step& step : steps) {
        OwnStack stack;
        stack.run(step.run);
        EXPECT_FALSE(stack.holds(ck.view())) << step.name << ": cipher key or round keys left on the stack";
        EXPECT_FALSE(stack.holds(subkey_view)) << step.name << ": subkey left on the stack";
    }
    secure_wipe(subkey, sizeof subkey);
}

// The scrubs must reach below everything the library calls they clear after
// touch: each call, on a painted stack and without a scrub, stays within
// its bound (the frames of the test's own lambda included).
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
        {"aes ctr", p.aes_call_scrub,
         [&] {
             std::uint8_t iv[12] = {}, block[80] = {};
             keys.vtable->run(&keys.vtable, iv, 0, block, sizeof block);
         }},
        {"ghash", p.aes_call_scrub,
         [&] {
             std::uint8_t y[16] = {}, data[80] = {};
             p.ghash(y, ck.data(), data, sizeof data);
         }},
        {"chacha20 and poly1305", CALL_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {}, data[80] = {}, tag[16];
             p.poly1305(ck.data(), iv, data, sizeof data, data, sizeof data, tag, p.chacha20, 1);
         }},
        // libsodium's, on enough data for its widest ChaCha20 code.
        {"libsodium hchacha20", CALL_SCRUB_LEN,
         [&] {
             std::uint8_t n16[16] = {}, out[32];
             crypto_core_hchacha20(out, n16, ck.data(), nullptr);
         }},
        {"libsodium chacha20-poly1305 seal", SODIUM_CALL_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {}, tag[16];
             crypto_aead_chacha20poly1305_ietf_encrypt_detached(long_data.data(), tag, nullptr, long_data.data(),
                                                                long_data.size(), iv, sizeof iv, nullptr, iv,
                                                                ck.data());
         }},
        {"libsodium chacha20-poly1305 verify", SODIUM_CALL_SCRUB_LEN,
         [&] {
             std::uint8_t iv[12] = {}, tag[16] = {};
             const int rc = crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                 nullptr, nullptr, long_data.data(), long_data.size(), tag, iv, sizeof iv, iv, ck.data());
             EXPECT_EQ(rc, -1);  // a zero tag
         }},
        {"libsodium chacha20", SODIUM_CALL_SCRUB_LEN,
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

}  // namespace
}  // namespace norvane
