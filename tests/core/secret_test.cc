// secret_test.cc - wiping: secure_wipe, SecretArray on move and destruction,
// and the Norvane value being move-only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "norvane/bytes.h"
#include "aes_backend.h"
#include "norvane/norvane.h"
#include "primitives.h"
#include "xchacha_backend.h"
#include "test_util.h"

namespace norvane {
namespace {

static_assert(!std::is_copy_constructible_v<Norvane> && !std::is_copy_assignable_v<Norvane>);
static_assert(std::is_nothrow_move_constructible_v<Norvane> && std::is_nothrow_move_assignable_v<Norvane>);
static_assert(!std::is_copy_constructible_v<SecretArray<32>> && !std::is_copy_assignable_v<SecretArray<32>>);

bool all_zero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

void fill(SecretArray<32>& s) {
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i + 1);
}

TEST(SecureWipe, ZeroesExactlyTheRange) {
    std::uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    secure_wipe(b + 2, 4);
    const std::uint8_t want[8] = {1, 2, 0, 0, 0, 0, 7, 8};
    EXPECT_EQ(0, std::memcmp(b, want, 8));
    secure_wipe(nullptr, 0);
}

TEST(SecretArray, MoveWipesTheSource) {
    SecretArray<32> a;
    fill(a);
    SecretArray<32> b(std::move(a));
    EXPECT_TRUE(all_zero(a.data(), 32));  // NOLINT(bugprone-use-after-move): wiping is the contract
    EXPECT_EQ(b[31], 32);
    SecretArray<32> c;
    c = std::move(b);
    EXPECT_TRUE(all_zero(b.data(), 32));  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c[0], 1);
}

TEST(SecretArray, DestructionWipesTheBytes) {
    alignas(SecretArray<32>) unsigned char storage[sizeof(SecretArray<32>)];
    auto* s = new (storage) SecretArray<32>();
    fill(*s);
    const std::uint8_t* bytes = s->data();
    ASSERT_FALSE(all_zero(bytes, 32));
    const std::size_t offset = static_cast<std::size_t>(bytes - reinterpret_cast<std::uint8_t*>(storage));
    s->~SecretArray<32>();
    EXPECT_TRUE(all_zero(reinterpret_cast<std::uint8_t*>(storage) + offset, 32));
}

TEST(NorvaneValue, MovedValueStillMintsAndOpens) {
    for (Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
        Norvane first = Norvane::create(b, test::make_key(7, 7));
        auto token = first.encrypt(test::bytes_of("moved"), std::nullopt, std::nullopt);
        ASSERT_TRUE(token.ok());
        Norvane second(std::move(first));
        EXPECT_EQ(second.backend(), b);
        auto opened = second.decrypt_for_at(*token, "session", 0);
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(test::text_of(*opened), "moved");
    }
}

// A prepared key wipes what it holds when it is destroyed: the raw
// XChaCha20-Poly1305 cipher key, the AES-256 key schedule (whose first round
// keys are the cipher key) and H.
template <class Prepared>
void expect_wiped_on_destruction(Backend backend, bool kept_as_it_is) {
    const CipherKey ck = derive_cipher_key(backend, test::make_key(3, 4));
    alignas(Prepared) unsigned char storage[sizeof(Prepared)];
    auto holds = [&] {
        return std::search(storage, storage + sizeof storage, ck.data(), ck.data() + 16) != storage + sizeof storage;
    };
    auto* prepared = new (storage) Prepared(ck.view());
    const bool held = holds();
    prepared->~Prepared();
    EXPECT_FALSE(holds());
    if (kept_as_it_is) {
        EXPECT_TRUE(held) << "the search would not have found the key";
    }
}

TEST(PreparedKey, IsWipedOnDestruction) {
    // The raw key is held as it is; the AES schedule holds it as it is on
    // AES-NI and in libsodium's state (the bitsliced code keeps it
    // transposed).
    expect_wiped_on_destruction<XChaChaKey>(Backend::XChaCha20Poly1305, true);
    expect_wiped_on_destruction<AesGcmContext>(Backend::Aes256Gcm,
                                               std::string_view(primitives().aes_name) == "aes_x86ni");
#if NORVANE_SODIUM_AES_GCM
    if (aes_backend::engines().size() == 2) {
        expect_wiped_on_destruction<SodiumAesGcmKey>(Backend::Aes256Gcm, true);
    }
#endif
}

}  // namespace
}  // namespace norvane
