// primitives_test.cc - the BearSSL implementations chosen for this CPU, and
// NORVANE_FORCE_SOFTWARE selecting the constant-time software code.
#include "primitives.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

namespace norvane {
namespace {

TEST(Primitives, EveryPrimitiveIsChosenAndNamed) {
    const Primitives& p = primitives();
    EXPECT_EQ(&p, &primitives());  // chosen once
    ASSERT_NE(p.aes_ctr, nullptr);
    ASSERT_NE(p.ghash, nullptr);
    ASSERT_NE(p.chacha20, nullptr);
    ASSERT_NE(p.poly1305, nullptr);
    const std::string aes = p.aes_name, ghash = p.ghash_name, chacha = p.chacha20_name, poly = p.poly1305_name;
    const char* forced = std::getenv("NORVANE_FORCE_SOFTWARE");
    if (forced != nullptr && std::string(forced) == "1") {
        EXPECT_TRUE(aes == "aes_ct64" || aes == "aes_ct") << aes;
        EXPECT_TRUE(ghash == "ghash_ctmul64" || ghash == "ghash_ctmul32") << ghash;
        EXPECT_EQ(chacha, "chacha20_ct");
        EXPECT_EQ(poly, "poly1305_ctmul");
    } else {
        const std::set<std::string> known = {"aes_x86ni", "aes_ct64", "aes_ct", "ghash_pclmul", "ghash_ctmul64",
                                             "ghash_ctmul32", "chacha20_sse2", "chacha20_ct", "poly1305_ctmulq",
                                             "poly1305_ctmul"};
        for (const std::string& name : {aes, ghash, chacha, poly}) EXPECT_TRUE(known.count(name)) << name;
        EXPECT_EQ(aes == "aes_x86ni", ghash == "ghash_pclmul");  // hardware AES only with hardware GHASH
    }
}

}  // namespace
}  // namespace norvane
