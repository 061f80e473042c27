// alloc_test.cc - how often minting and opening allocate: once each (the
// token text, the plaintext) for the payloads of ordinary tokens. The
// operators new of this test binary count while a Counting scope is open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "norvane/norvane.h"
#include "test_util.h"

namespace {

thread_local bool counting = false;
thread_local int allocations = 0;

struct Counting {
    Counting() {
        allocations = 0;
        counting = true;
    }
    ~Counting() { counting = false; }
};

}  // namespace

void* operator new(std::size_t n) {
    if (counting) {
        ++allocations;
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) {
        return p;
    }
    throw std::bad_alloc();
}

// These are the replacements of the operators new above; GCC cannot tell
// them from a mismatched pair.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace norvane {
namespace {

class Allocations : public ::testing::TestWithParam<Backend> {};

TEST_P(Allocations, MintingAndOpeningAllocateOnceEach) {
    const Norvane nv = Norvane::create(GetParam(), test::make_key(5, 6));
    for (std::size_t n : {0u, 64u, 1024u}) {
        SCOPED_TRACE(n);
        const Bytes data(n, 'd');
        // Warm up: the randomness source's first use may set itself up.
        ASSERT_TRUE(nv.encrypt(data, std::nullopt, std::nullopt).ok());
        std::string token;
        {
            Counting c;
            auto t = nv.encrypt(data, 1'900'000'000, "password-reset");
            ASSERT_TRUE(t.ok());
            token = std::move(*t);
            EXPECT_EQ(allocations, 1) << "minting";
        }
        {
            Counting c;
            auto p = nv.decrypt_for_at(token, "password-reset", 1'800'000'000);
            ASSERT_TRUE(p.ok());
            // The plaintext's buffer, at its exact length: none for an empty one.
            EXPECT_EQ(allocations, n == 0 ? 0 : 1) << "opening";
        }
        {
            Counting c;
            EXPECT_FALSE(nv.decrypt_for_at(token, "session", 1'800'000'000).ok());
            EXPECT_LE(allocations, 1) << "a refusal";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, Allocations, ::testing::Values(Backend::Aes256Gcm, Backend::XChaCha20Poly1305),
                         [](const auto& info) {
                             return info.param == Backend::Aes256Gcm ? std::string("Aes") : std::string("XChaCha");
                         });

}  // namespace
}  // namespace norvane
