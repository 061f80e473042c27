// utf8_test.cc - strict UTF-8 validation and where it reports the problem.
#include "norvane/utf8.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace norvane {
namespace {

TEST(Utf8, AcceptsWellFormedText) {
    for (const char* s : {"", "session", "caf\xc3\xa9", "\xe2\x80\x94", "\xef\xbf\xbf", "\xf0\x9f\x98\x80",
                          "\xf4\x8f\xbf\xbf", "0123456789abcdef\xc2\x80xyz"}) {
        SCOPED_TRACE(test::to_hex(test::bytes_of(s)));
        EXPECT_TRUE(is_valid_utf8(test::bytes_of(s)));
    }
}

TEST(Utf8, ReportsFirstProblem) {
    struct Case {
        const char* hex;
        std::size_t valid_up_to;
        std::uint8_t error_len;
    };
    const Case cases[] = {
        {"ff", 0, 1},               {"80", 0, 1},             {"c0af", 0, 1},     // bad lead, overlong lead
        {"c1bf", 0, 1},             {"e080af", 0, 1},         {"eda080", 0, 1},   // overlong, surrogate
        {"f4908080", 0, 1},         {"f5808080", 0, 1},       {"61c3", 1, 0},     // > U+10FFFF, truncated
        {"6162e282", 2, 0},         {"f09f98", 0, 0},         {"e28241", 0, 2},   // truncated, bad 3rd byte
        {"f09f9841", 0, 3},         {"4142434445464748ff", 8, 1},                 // after the ASCII fast path
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        auto e = check_utf8(test::from_hex(c.hex));
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->valid_up_to, c.valid_up_to);
        EXPECT_EQ(e->error_len, c.error_len);
    }
}

}  // namespace
}  // namespace norvane
