#include "id_template.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

using coretest::format_id;
using coretest::IdTemplate;
using coretest::parse_id_template;

std::string id_of(const char* text, int32_t value) {
    IdTemplate t;
    std::string error;
    EXPECT_TRUE(parse_id_template(text, &t, &error)) << text << ": " << error;
    char buf[coretest::kMaxIdSize];
    size_t n = format_id(t, value, buf, sizeof buf);
    EXPECT_EQ(n, std::string(buf).size());
    return buf;
}

TEST(IdTemplate, RefusesAllButOneIntegerConversion) {
    for (const char* bad : {"%s",    "%n",  "%x",   "%c",   "%p",   "%d%d", "%i%05d", "abc%",
                            "%-",    "%05", "%.3d", "%5.d", "%ld",  "%hd",  "%lld",   "%zd",
                            "%100d", "%*d", "%1$d", "%#d",  "a\nb", "\x7f", "%%%"}) {
        IdTemplate t;
        std::string error;
        EXPECT_FALSE(parse_id_template(bad, &t, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    IdTemplate t;
    std::string error;
    EXPECT_FALSE(parse_id_template(nullptr, &t, &error));
    EXPECT_FALSE(parse_id_template(std::string(256, 'a').c_str(), &t, &error));
    EXPECT_TRUE(parse_id_template(std::string(255, 'a').c_str(), &t, &error));
}

TEST(IdTemplate, LiteralsAndPercentSigns) {
    EXPECT_EQ(id_of("", 5), "");
    EXPECT_EQ(id_of("02C4E67%05d", 33), "02C4E6700033");
    EXPECT_EQ(id_of("plain", 5), "plain");
    EXPECT_EQ(id_of("%%d", 5), "%d");
    EXPECT_EQ(id_of("100%% of %i%%", 7), "100% of 7%");
    EXPECT_EQ(id_of("\xc3\xa9%d", 1),
              "\xc3\xa9"
              "1");
}

// printf itself is the reference, with combinations that override a flag too.
std::string printf_id(const char* format, int32_t value) {
    char out[256];
    snprintf(out, sizeof out, format, value);
    return out;
}

TEST(IdTemplate, FormatsLikePrintf) {
    for (const char* format : {"%d", "%05d", "[%-5d]", "%+d", "% d", "%+05d", "% 05i", "[%-05d]",
                               "[% -+12i]", "%0-3d|", "%99d", "ID%03d%%x"}) {
        for (int32_t v : {0, 7, -7, 123456, INT32_MAX, INT32_MIN}) {
            EXPECT_EQ(id_of(format, v), printf_id(format, v)) << format << " with " << v;
        }
    }
}

TEST(IdTemplate, StaysInsideTheBuffer) {
    IdTemplate t;
    std::string error;
    std::string longest = std::string(251, 'a') + "%99d";
    ASSERT_TRUE(parse_id_template(longest.c_str(), &t, &error));
    char big[coretest::kMaxIdSize];
    EXPECT_EQ(format_id(t, INT32_MIN, big, sizeof big), 350u);

    char small[5] = {'#', '#', '#', '#', '#'};
    EXPECT_EQ(format_id(t, 1, small, 4), 3u);
    EXPECT_STREQ(small, "aaa");
    EXPECT_EQ(small[4], '#');
    EXPECT_EQ(format_id(t, 1, small, 0), 0u);
}

}  // namespace
