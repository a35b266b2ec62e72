#include "plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> command_lines(int32_t total, int32_t maximum, const char* tmpl) {
    FleetPlan plan = fleet_plan(total, maximum);
    std::vector<std::string> lines;
    for (int32_t i = 0; i < plan.count; ++i) {
        char line[kCommandLineSize];
        EXPECT_TRUE(fleet_command_line(line, sizeof line, tmpl, fleet_copy(plan, i), i));
        lines.push_back(line);
    }
    return lines;
}

TEST(FleetPlan, CommandLinesOfKnownFleets) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(command_lines(101, 50, "T"),
              (Lines{"VORNCoreExTest.exe T 0 34 0", "VORNCoreExTest.exe T 34 34 1",
                     "VORNCoreExTest.exe T 68 33 2"}));
    EXPECT_EQ(command_lines(kDefaultTotal, kDefaultMaximum, kDefaultTemplate),
              (Lines{"VORNCoreExTest.exe 02C4E67%05d 0 10 0"}));
    // An exact multiple, and an even spread rather than filling up to 50.
    EXPECT_EQ(command_lines(150, 50, "T"),
              (Lines{"VORNCoreExTest.exe T 0 50 0", "VORNCoreExTest.exe T 50 50 1",
                     "VORNCoreExTest.exe T 100 50 2"}));
    EXPECT_EQ(command_lines(120, 50, "T"),
              (Lines{"VORNCoreExTest.exe T 0 40 0", "VORNCoreExTest.exe T 40 40 1",
                     "VORNCoreExTest.exe T 80 40 2"}));
    EXPECT_EQ(command_lines(700, 700, "T"), (Lines{"VORNCoreExTest.exe T 0 700 0"}));
    // An empty template leaves two blanks in a row.
    EXPECT_EQ(command_lines(3, 500, ""), (Lines{"VORNCoreExTest.exe  0 3 0"}));
}

TEST(FleetPlan, SignedArithmeticForNegativeTotals) {
    EXPECT_EQ(command_lines(-5, 500, "T"),
              (std::vector<std::string>{"VORNCoreExTest.exe T 0 -5 0"}));
    EXPECT_LE(fleet_plan(-1000, 500).count, 0);
    EXPECT_LE(fleet_plan(-1001, 500).count, 0);
    EXPECT_LE(fleet_plan(INT32_MIN, 1).count, 0);
    EXPECT_EQ(fleet_plan(0, 500).count, 0);
}

TEST(FleetPlan, RangesAreContiguousEvenAndBounded) {
    const int32_t totals[] = {1, 2, 7, 99, 100, 101, 499, 500, 501, 1000, 99991, INT32_MAX};
    const int32_t maxima[] = {1, 2, 3, 7, 50, 500, 65536, INT32_MAX - 1, INT32_MAX};
    for (int32_t total : totals) {
        for (int32_t maximum : maxima) {
            FleetPlan plan = fleet_plan(total, maximum);
            int64_t expected_count = (static_cast<int64_t>(total) + maximum - 1) / maximum;
            ASSERT_EQ(plan.count, expected_count) << total << "/" << maximum;
            if (plan.count > 100000) {
                // Too many to walk; the last copy must still end at the total.
                FleetCopy last = fleet_copy(plan, plan.count - 1);
                EXPECT_EQ(static_cast<int64_t>(last.start) + last.share, total);
                continue;
            }
            int64_t next = 0;
            for (int32_t i = 0; i < plan.count; ++i) {
                FleetCopy copy = fleet_copy(plan, i);
                ASSERT_EQ(copy.start, next) << total << "/" << maximum << " copy " << i;
                ASSERT_GE(copy.share, 1);
                ASSERT_LE(copy.share, maximum);
                ASSERT_LE(copy.share - plan.share, 1);  // spread evenly
                next += copy.share;
            }
            EXPECT_EQ(next, total) << total << "/" << maximum;
        }
    }
}

TEST(FleetPlan, CommandLineMustFit) {
    FleetCopy copy{INT32_MAX, INT32_MAX};
    char line[kCommandLineSize];
    // The longest line a 12-character template can make fits easily.
    ASSERT_TRUE(fleet_command_line(line, sizeof line, "123456789012", copy, INT32_MAX));
    EXPECT_STREQ(line, "VORNCoreExTest.exe 123456789012 2147483647 2147483647 2147483647");
    char small[10];
    EXPECT_FALSE(fleet_command_line(small, sizeof small, "T", copy, 0));
    EXPECT_EQ(small[sizeof small - 1], '\0');
}

TEST(PerCopyMaximum, ReadLikeAtoiWithoutOverflow) {
    struct {
        const char* text;
        int32_t value;
    } good[] = {{"700", 700}, {"1", 1},      {"  42", 42},
                {"\t+7", 7},  {"12abc", 12}, {"2147483647", INT32_MAX},
                {"0050", 50}, {"3 4", 3}};
    for (const auto& c : good) {
        int32_t maximum = -1;
        EXPECT_TRUE(parse_maximum(c.text, &maximum)) << c.text;
        EXPECT_EQ(maximum, c.value) << c.text;
    }
    const char* bad[] = {"0",   "-1", "-2147483648", "2147483648", "99999999999999999999",
                         "abc", "",   " ",           "+",          "- 5",
                         "x12", "-0"};
    for (const char* text : bad) {
        int32_t maximum = 77;
        EXPECT_FALSE(parse_maximum(text, &maximum)) << text;
        EXPECT_EQ(maximum, 77) << text;
    }
}

TEST(Total, ReadLikeStrtolAndClamped) {
    EXPECT_EQ(parse_total("120 "), 120);
    EXPECT_EQ(parse_total(" -5"), -5);
    EXPECT_EQ(parse_total("0"), 0);
    EXPECT_EQ(parse_total("abc"), 0);
    EXPECT_EQ(parse_total(""), 0);
    EXPECT_EQ(parse_total("12=3"), 12);
    EXPECT_EQ(parse_total("99999999999"), INT32_MAX);
    EXPECT_EQ(parse_total("-99999999999"), INT32_MIN);
    EXPECT_EQ(parse_total("999999999999999999999999"), INT32_MAX);
}

}  // namespace
