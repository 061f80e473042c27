// ct_test.cc - the constant-time tag comparison.
#include "ct.h"

#include <gtest/gtest.h>

#include <array>

namespace norvane {
namespace {

using Tag = std::array<std::uint8_t, 16>;

TEST(Equal16, EqualTagsCompareEqual) {
    Tag a{}, b{};
    EXPECT_TRUE(ct::equal16(a.data(), b.data()));
    for (std::size_t i = 0; i < 16; ++i) a[i] = b[i] = static_cast<std::uint8_t>(0xf1 * i + 3);
    EXPECT_TRUE(ct::equal16(a.data(), b.data()));
    EXPECT_TRUE(ct::equal16(a.data(), a.data()));
}

TEST(Equal16, EverySingleDifferingBitIsSeen) {
    Tag a{};
    for (std::size_t i = 0; i < 16; ++i) a[i] = static_cast<std::uint8_t>(i * 17);
    for (std::size_t byte = 0; byte < 16; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Tag b = a;
            b[byte] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_FALSE(ct::equal16(a.data(), b.data())) << "byte " << byte << " bit " << bit;
            EXPECT_FALSE(ct::equal16(b.data(), a.data())) << "byte " << byte << " bit " << bit;
        }
        Tag c = a;
        c[byte] ^= 0xff;
        EXPECT_FALSE(ct::equal16(a.data(), c.data())) << "byte " << byte;
    }
}

TEST(Equal16, AllBytesDiffering) {
    Tag a{}, b{};
    b.fill(0xff);
    EXPECT_FALSE(ct::equal16(a.data(), b.data()));
    b.fill(0x80);
    EXPECT_FALSE(ct::equal16(a.data(), b.data()));
    b.fill(0x01);
    EXPECT_FALSE(ct::equal16(a.data(), b.data()));
}

}  // namespace
}  // namespace norvane
