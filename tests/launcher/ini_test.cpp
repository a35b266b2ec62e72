#include "ini.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "temp_dir.h"

namespace {

using testsupport::TempDir;
using testsupport::write_file;

struct Results {
    std::string by_path;    // ini_read_value, "0" when not found
    std::string by_stream;  // ini_read_value_stream, "" when not found
};

// Runs both readers over the same file contents.
Results read_both(const std::string& contents, const char* section, const char* key) {
    TempDir dir;
    std::string path = dir.file("VORNCoreExTest.ini");
    write_file(path, contents);
    char out[1024];
    ini_read_value(path.c_str(), section, key, out, sizeof out);
    const char* streamed = ini_read_value_stream(std::fopen(path.c_str(), "r"), section, key);
    return {out, streamed};
}

void expect_found(const Results& got, const std::string& value) {
    EXPECT_EQ(got.by_path, value);
    EXPECT_EQ(got.by_stream, value);
}

void expect_not_found(const Results& got) {
    EXPECT_EQ(got.by_path, "0");
    EXPECT_EQ(got.by_stream, "");
}

struct Case {
    const char* name;
    const char* contents;
    const char* key;
    bool found;
    const char* value;
};

class ReaderCases : public ::testing::TestWithParam<Case> {};

TEST_P(ReaderCases, BothReadersAgree) {
    const Case& c = GetParam();
    Results got = read_both(c.contents, "Platform", c.key);
    if (c.found) {
        expect_found(got, c.value);
    } else {
        expect_not_found(got);
    }
}

const Case kCases[] = {
    {"SampleTable",
     "[General]\ntotal=5\n[Platform] ; settings\nTotal=7\ntotal = 9\ntotal=120 ; count\n", "total",
     true, "120 "},
    {"HeaderHoldingEqualsOpensSection", "[Platform]x=1\ntotal=3\n", "total", true, "3"},
    {"SectionIsNeverClosed", "[Platform]\n[Other]\ntotal=4\n", "total", true, "4"},
    {"KeyBeforeHeaderIgnored", "total=5\n[Platform]\n", "total", false, ""},
    {"ValueKeepsFurtherEquals", "[Platform]\ntotal=12=3\n", "total", true, "12=3"},
    {"ValueCutAtSemicolon", "[Platform]\nseedID=ABC;DEF\n", "seedID", true, "ABC"},
    {"CrLfReadsLikeLf", "[Platform]\r\nseedID=X%03d\r\n", "seedID", true, "X%03d"},
    {"CarriageReturnInsideKeyDropped", "[Platform]\nsee\rdID=Q\n", "seedID", true, "Q"},
    {"LastLineWithoutLineFeed", "[Platform]\nseedID=END", "seedID", true, "END"},
    {"FirstOfTwoKeysWins", "[Platform]\nseedID=ONE\nseedID=TWO\n", "seedID", true, "ONE"},
    {"TrailingTextAfterHeader", "[Platform]junk\nseedID=A\n", "seedID", true, "A"},
    {"LeadingBlankBeforeHeader", " [Platform]\nseedID=A\n", "seedID", false, ""},
    {"HeaderCaseMatters", "[platform]\nseedID=A\n", "seedID", false, ""},
    {"HeaderInCommentIgnored", ";[Platform]\nseedID=A\n", "seedID", false, ""},
    {"KeyIsNotTrimmed", "[Platform]\nseedID =A\n", "seedID", false, ""},
    {"ValueIsNotTrimmed", "[Platform]\nseedID= A \n", "seedID", true, " A "},
    {"EmptyValue", "[Platform]\ntotal=\n", "total", true, ""},
    {"EmptyFile", "", "seedID", false, ""},
    {"OtherSectionOnly", "[Other]\nseedID=A\n", "seedID", false, ""},
};

INSTANTIATE_TEST_SUITE_P(Ini, ReaderCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniReaders, OverlongLineIsCutAndItsTailDropped) {
    std::string filler(INI_LINE_MAX, 'a');
    // Were the tail of a long line read as a line of its own, it would open
    // the section or deliver a key.
    expect_not_found(read_both(filler + "[Platform]\nseedID=A\n", "Platform", "seedID"));
    expect_not_found(read_both("[Platform]\n" + filler + "seedID=B\n", "Platform", "seedID"));

    // A long value keeps the line's first INI_LINE_MAX characters.
    std::string digits(1500, '7');
    expect_found(read_both("[Platform]\ntotal=" + digits + "\n", "Platform", "total"),
                 std::string(INI_LINE_MAX - 6, '7'));
}

TEST(IniReadValue, FailuresLeaveZeroAndReport) {
    TempDir dir;
    char out[8];

    testing::internal::CaptureStderr();
    std::memset(out, 'x', sizeof out);
    ini_read_value(dir.file("missing.ini").c_str(), "Platform", "total", out, sizeof out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "have no such file \n");
    // "0" and zero bytes to the end.
    EXPECT_EQ(std::string(out, sizeof out), std::string("0\0\0\0\0\0\0\0", 8));

    std::string path = dir.file("a.ini");
    write_file(path, "[Platform]\ntotal=12345678\n");
    testing::internal::CaptureStderr();
    ini_read_value(path.c_str(), "Platform", "total", out, sizeof out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "buffer is not enough, bufferSize=8, require=9\n");
    EXPECT_STREQ(out, "0");

    // Not found is silent.
    testing::internal::CaptureStderr();
    ini_read_value(path.c_str(), "Platform", "seedID", out, sizeof out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(out, "0");
}

TEST(IniReadValue, FoundValueLeavesTheRestOfTheBuffer) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    write_file(path, "[Platform]\ntotal=123456\n");
    char out[8];
    std::memset(out, 'x', sizeof out);
    ini_read_value(path.c_str(), "Platform", "total", out, 7);  // exactly fits
    EXPECT_EQ(std::string(out, sizeof out), std::string("123456\0x", 8));
}

TEST(IniReadValue, TinyCapacitiesStayInBounds) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    write_file(path, "[Platform]\ntotal=5\n");
    char out[2] = {'x', 'y'};
    ini_read_value(path.c_str(), "Platform", "total", out, 0);
    EXPECT_EQ(out[0], 'x');
    testing::internal::CaptureStderr();
    ini_read_value(path.c_str(), "Platform", "total", out, 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'y');
}

TEST(IniReadValue, SectionNameTooLongForHeaderBuffer) {
    TempDir dir;
    std::string fits(509, 's');  // "[" + 509 + "]" + terminator = 512
    std::string path = dir.file("a.ini");
    write_file(path, "[" + fits + "]\ntotal=5\n[" + fits + "s]\ntotal=6\n");
    char out[16];
    ini_read_value(path.c_str(), fits.c_str(), "total", out, sizeof out);
    EXPECT_STREQ(out, "5");

    std::string too_long = fits + "s";
    testing::internal::CaptureStderr();
    ini_read_value(path.c_str(), too_long.c_str(), "total", out, sizeof out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "buffer is not enough, bufferSize=512, require=513\n");
    EXPECT_STREQ(out, "0");
}

TEST(IniReadValueStream, ClosesTheStreamOnEveryPath) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    write_file(path, "[Platform]\nseedID=A\n");
    std::string huge_section(2000, 's');
    for (const char* key : {"seedID", "absent"}) {
        for (const std::string& section : {std::string("Platform"), huge_section}) {
            FILE* stream = std::fopen(path.c_str(), "r");
            ASSERT_NE(stream, nullptr);
            int fd = fileno(stream);
            ini_read_value_stream(stream, section.c_str(), key);
            EXPECT_FALSE(testsupport::descriptor_is_open(fd)) << key << " left its stream open";
        }
    }
    EXPECT_STREQ(ini_read_value_stream(nullptr, "Platform", "seedID"), "");
}

TEST(IniReaders, ReadErrorEndsTheSearch) {
    // A folder opens for reading on Linux but every read fails; the search
    // must end rather than read empty lines for ever.
    TempDir dir;
    char out[8];
    ini_read_value(dir.path().c_str(), "Platform", "total", out, sizeof out);
    EXPECT_STREQ(out, "0");
    if (!testsupport::kFoldersOpenAsFiles) return;
    FILE* stream = std::fopen(dir.path().c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_STREQ(ini_read_value_stream(stream, "Platform", "seedID"), "");
}

}  // namespace
