// primitives_test.cc - the BearSSL implementations chosen for this CPU, and
// NORVANE_FORCE_SOFTWARE selecting the constant-time software code.
//
// The expected names are worked out from the target and the CPU (compiler
// macros, pointer width, the CPU's feature flags), not from the selection
// code. The choice is printed ("primitives: ...") and recorded as test
// properties, so a log shows whether a run exercised the hardware code or
// the constant-time software code.
#include "primitives.h"

#include "aes_backend.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <iostream>
#include <set>
#include <string>

#include "norvane/norvane.h"
#include "random.h"
#include "test_util.h"

namespace norvane {
namespace {

bool software_forced() {
    const char* forced = std::getenv("NORVANE_FORCE_SOFTWARE");
    return forced != nullptr && std::string(forced) == "1";
}

constexpr bool kX86 =
#if defined(__x86_64__) || defined(__i386__)
    true;
#else
    false;
#endif

constexpr bool kWide = sizeof(void*) >= 8;

// The bitsliced AES and the carry-less multiplication for GHASH come in a
// 64-bit and a 32-bit form; targets with 64-bit pointers get the former.
const char* software_aes() { return kWide ? "aes_ct64" : "aes_ct"; }
const char* software_ghash() { return kWide ? "ghash_ctmul64" : "ghash_ctmul32"; }

TEST(Primitives, EveryPrimitiveIsChosenAndNamed) {
    const Primitives& p = primitives();
    EXPECT_EQ(&p, &primitives());  // chosen once
    ASSERT_NE(p.aes_ctr, nullptr);
    ASSERT_NE(p.ghash, nullptr);
    ASSERT_NE(p.chacha20, nullptr);
    ASSERT_NE(p.poly1305, nullptr);
    ASSERT_NE(p.aes_name, nullptr);
    ASSERT_NE(p.ghash_name, nullptr);
    ASSERT_NE(p.chacha20_name, nullptr);
    ASSERT_NE(p.poly1305_name, nullptr);
    const std::string aes = p.aes_name, ghash = p.ghash_name, chacha = p.chacha20_name, poly = p.poly1305_name;

    std::cout << "primitives: aes=" << aes << " ghash=" << ghash << " chacha20=" << chacha << " poly1305=" << poly
              << " aes-256-gcm=" << aes_backend::engine_name(aes_backend::chosen_engine()) << " (" << (software_forced() ? "software forced" : "chosen for this CPU") << ", "
              << 8 * sizeof(void*) << "-bit pointers)" << std::endl;
    RecordProperty("aes", aes);
    RecordProperty("ghash", ghash);
    RecordProperty("chacha20", chacha);
    RecordProperty("poly1305", poly);

    const std::set<std::string> known = {"aes_x86ni", "aes_ct64", "aes_ct", "ghash_pclmul", "ghash_ctmul64",
                                         "ghash_ctmul32", "chacha20_sse2", "chacha20_ct", "poly1305_ctmulq",
                                         "poly1305_ctmul"};
    for (const std::string& name : {aes, ghash, chacha, poly}) EXPECT_TRUE(known.count(name)) << name;
    EXPECT_EQ(aes == "aes_x86ni", ghash == "ghash_pclmul");  // hardware AES only with hardware GHASH
}

// libsodium is initialised with the core's randomness in place of its own,
// so that sodium_init neither probes getrandom nor holds a descriptor of
// its own; whatever in it asks for random bytes after that gets
// fill_random's.
TEST(Primitives, LibsodiumIsReadyAndDrawsOnTheCoresRandomness) {
    ASSERT_TRUE(primitives().sodium_ready);
    EXPECT_STREQ(randombytes_implementation_name(), "norvane fill_random");
    std::uint8_t a[32] = {}, b[32] = {};
    randombytes_buf(a, sizeof a);
    randombytes_buf(b, sizeof b);
    EXPECT_NE(std::string(a, a + 32), std::string(b, b + 32));
    EXPECT_NE(std::string(a, a + 32), std::string(32, '\0'));
}

// Choosing the primitives (sodium_init among them) and building Norvane
// objects of both backends draw no randomness: the randomness method is
// still unchosen afterwards, so that it is chosen at the first mint. The
// check runs in a process of its own, started afresh, where nothing has
// chosen anything yet.
TEST(Primitives, SetUpAndKeysDrawNoRandomness) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool before = random_detail::current_method() == random_detail::Method::Unchosen;
            const bool ready = primitives().sodium_ready;
            const Norvane aes = Norvane::create(Backend::Aes256Gcm, test::make_key(1, 1));
            const Norvane xchacha = Norvane::create(Backend::XChaCha20Poly1305, test::make_key(1, 1));
            const bool after = random_detail::current_method() == random_detail::Method::Unchosen;
            std::_Exit(before && ready && after ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The names are those of the code the function pointers lead to.
TEST(Primitives, NamesMatchTheImplementations) {
    const Primitives& p = primitives();
    const std::string aes = p.aes_name, ghash = p.ghash_name, chacha = p.chacha20_name, poly = p.poly1305_name;
    if (aes == "aes_ct64") {
        EXPECT_EQ(p.aes_ctr, &br_aes_ct64_ctr_vtable);
    }
    if (aes == "aes_ct") {
        EXPECT_EQ(p.aes_ctr, &br_aes_ct_ctr_vtable);
    }
    if (aes == "aes_x86ni") {
        EXPECT_EQ(p.aes_ctr, br_aes_x86ni_ctr_get_vtable());
    }
    if (ghash == "ghash_ctmul64") {
        EXPECT_EQ(p.ghash, &br_ghash_ctmul64);
    }
    if (ghash == "ghash_ctmul32") {
        EXPECT_EQ(p.ghash, &br_ghash_ctmul32);
    }
    if (ghash == "ghash_pclmul") {
        EXPECT_EQ(p.ghash, br_ghash_pclmul_get());
    }
    if (chacha == "chacha20_ct") {
        EXPECT_EQ(p.chacha20, &br_chacha20_ct_run);
    }
    if (chacha == "chacha20_sse2") {
        EXPECT_EQ(p.chacha20, br_chacha20_sse2_get());
    }
    if (poly == "poly1305_ctmul") {
        EXPECT_EQ(p.poly1305, &br_poly1305_ctmul_run);
    }
    if (poly == "poly1305_ctmulq") {
        EXPECT_EQ(p.poly1305, br_poly1305_ctmulq_get());
    }
}

// Forced, and on every CPU that is not x86 (BearSSL has no AES, GHASH or
// ChaCha20 code for other CPUs' instructions): the constant-time software
// code for the target's word size.
TEST(Primitives, SoftwareCodeWhereForcedOrNotX86) {
    if (!software_forced() && kX86) GTEST_SKIP() << "x86 CPU without NORVANE_FORCE_SOFTWARE=1";
    const Primitives& p = primitives();
    EXPECT_STREQ(p.aes_name, software_aes());
    EXPECT_STREQ(p.ghash_name, software_ghash());
    EXPECT_STREQ(p.chacha20_name, "chacha20_ct");
    if (software_forced() || !kWide) {
        // poly1305_ctmulq needs a 64x64->128 multiplication, which 32-bit
        // targets lack; 64-bit ones other than x86 may have it.
        EXPECT_STREQ(p.poly1305_name, "poly1305_ctmul");
    }
}

// 32-bit ARM, the constant-time software paths are the production paths.
TEST(Primitives, ThirtyTwoBitArmRunsTheThirtyTwoBitSoftwareCode) {
#if defined(__arm__)
    const Primitives& p = primitives();
    EXPECT_STREQ(p.aes_name, "aes_ct");
    EXPECT_STREQ(p.ghash_name, "ghash_ctmul32");
    EXPECT_STREQ(p.chacha20_name, "chacha20_ct");
    EXPECT_STREQ(p.poly1305_name, "poly1305_ctmul");
#else
    GTEST_SKIP() << "not 32-bit ARM";
#endif
}

// x86-64 without forcing: SSE2 and a 128-bit product are always there, and
// the AES-NI/PCLMUL pair is taken exactly when the CPU reports it.
TEST(Primitives, X86HardwareCodeFollowsTheCpu) {
#if defined(__x86_64__)
    if (software_forced()) GTEST_SKIP() << "NORVANE_FORCE_SOFTWARE=1";
    const Primitives& p = primitives();
    EXPECT_STREQ(p.chacha20_name, "chacha20_sse2");
    EXPECT_STREQ(p.poly1305_name, "poly1305_ctmulq");
    const bool has_aes = test::cpu_flag("aes") && test::cpu_flag("pclmulqdq");
    const bool full = has_aes && test::cpu_flag("ssse3") && test::cpu_flag("sse4_1");
    const std::string aes = p.aes_name;
    if (!has_aes) {
        EXPECT_EQ(aes, "aes_ct64") << "hardware AES chosen on a CPU without AES-NI/PCLMUL";
    }
    if (full) {
        EXPECT_EQ(aes, "aes_x86ni") << "CPU has AES-NI, PCLMUL, SSSE3 and SSE4.1";
        EXPECT_STREQ(p.ghash_name, "ghash_pclmul");
    }
#else
    GTEST_SKIP() << "not x86-64";
#endif
}

}  // namespace
}  // namespace norvane
