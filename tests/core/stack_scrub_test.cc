// stack_scrub_test.cc - no key material is left in dead stack memory once
// a key has been derived and prepared, and the scrub reaches as deep as the
// library calls it clears after.
//
// Each step runs on a stack of the test's own (ucontext), painted with a
// pattern beforehand and searched afterwards, so that the whole region the
// step used can be read without touching anyone else's frames.
#include <bearssl.h>
#include <ucontext.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "aes_backend.h"
#include "hchacha20.h"
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
        ASSERT_EQ(getcontext(&inner_), 0);
        inner_.uc_stack.ss_sp = mem_.data();
        inner_.uc_stack.ss_size = mem_.size();
        inner_.uc_link = &outer_;
        current_ = this;
        makecontext(&inner_, &OwnStack::trampoline, 0);
        ASSERT_EQ(swapcontext(&outer_, &inner_), 0);
    }

    // depth is how many bytes below the top of the stack were written.
    std::size_t depth() const {
        const auto first = std::find_if(mem_.begin(), mem_.end(), [](std::uint8_t b) { return b != kPaint; });
        return static_cast<std::size_t>(mem_.end() - first);
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

    static void trampoline() { current_->step_(); }

    static inline OwnStack* current_ = nullptr;
    std::vector<std::uint8_t> mem_;
    std::function<void()> step_;
    ucontext_t inner_{};
    ucontext_t outer_{};
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
// keeps the per-token subkey in its state.
TEST(StackResidueCalls, SealAndOpenLeaveNoKeyBytes) {
    SKIP_UNDER_ASAN();
    const CipherKey ck = derive_cipher_key(Backend::Aes256Gcm, test_key());
    auto ctx = aes_backend::prepare(ck.view());
    const std::array<std::uint8_t, AES_NONCE_LEN> n12{1, 2, 3};
    const std::array<std::uint8_t, XCHACHA_NONCE_LEN> n24{4, 5, 6};
    std::uint8_t subkey[32];
    hchacha20(ck.data(), n24.data(), subkey);
    const Bytes pt(100, 7);
    const Bytes aad(17, 1);
    Bytes aes_sealed = aes_backend::encrypt(*ctx, n12, aad, pt);
    Bytes xchacha_sealed = xchacha_backend::encrypt(ck.view(), n24, aad, pt);
    Bytes forged = xchacha_sealed;
    forged[0] ^= 1;
    struct Step {
        const char* name;
        std::function<void()> run;
    };
    const Step steps[] = {
        {"aes seal", [&] { Bytes b = aes_backend::encrypt(*ctx, n12, aad, pt); }},
        {"aes open", [&] { auto r = aes_backend::decrypt(*ctx, n12, aes_sealed, aad); }},
        {"xchacha seal", [&] { Bytes b = xchacha_backend::encrypt(ck.view(), n24, aad, pt); }},
        {"xchacha open", [&] { auto r = xchacha_backend::decrypt(ck.view(), n24, xchacha_sealed, aad); }},
        {"xchacha open, forged", [&] { auto r = xchacha_backend::decrypt(ck.view(), n24, forged, aad); }},
    };
    for (const Step& step : steps) {
        OwnStack stack;
        stack.run(step.run);
        EXPECT_FALSE(stack.holds(ck.view())) << step.name << ": cipher key or round keys left on the stack";
        EXPECT_FALSE(stack.holds(ByteView(subkey, sizeof subkey))) << step.name << ": subkey left on the stack";
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
