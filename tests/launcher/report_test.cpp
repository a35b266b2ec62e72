// The texts of the report on a fleet. How it follows real copies is tested
// with the fleet (tests/integration).
#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "junit.h"
#include "temp_dir.h"

namespace {

CopyRecord ended(util_end_kind kind, uint32_t code) {
    CopyRecord c;
    c.state = CopyState::kEnded;
    c.end = {kind, code};
    return c;
}

TEST(Report, TextsNameTheFailuresAndFollowTheJobLogColumns) {
    std::vector<CopyRecord> fleet(9);
    fleet[0].state = CopyState::kRunning;
    fleet[1] = ended(UTIL_END_EXITED, 3);
    fleet[2].state = CopyState::kStartFailed;
    fleet[3] = ended(UTIL_END_EXITED, 0);
    for (int i = 4; i < 8; ++i) fleet[i] = ended(UTIL_END_EXITED, 1);
    fleet[8] = ended(UTIL_END_SIGNALED, 11);
    for (int i = 0; i < 9; ++i) fleet[i].copy = i;
    EXPECT_EQ(status_line(fleet.data(), 9, 3723000),
              "SpawnBench: 1 running, 7 ended (6 failed), 1 never started of 9 | 1:02:03");
    EXPECT_EQ(status_line(fleet.data(), 1, 12999), "SpawnBench: 1 running, 0 ended of 1 | 0:12");
    // Named in full by the fleet tests; cut after the first five.
    EXPECT_NE(failure_summary(fleet.data(), 9).find("; copy 6 exited with status 1; and 2 more"),
              std::string::npos);
    EXPECT_EQ(failure_summary(fleet.data(), 1), "");

    fleet[8].start_epoch_ms = 1700000000042;
    fleet[8].runtime_ms = 1500;
    fleet[8].command = "VORNCoreExTest.exe A\tB 8 1 8";
    EXPECT_EQ(joblog_line(fleet[8]),
              "9\t:\t1700000000.042\t     1.500\t0\t0\t0\t11\tVORNCoreExTest.exe A?B 8 1 8\n");

    // A time-out stays apart from a stop in the log, and the words name the
    // tries and the output file.
    CopyRecord late;
    late.copy = 3;
    late.state = CopyState::kTimedOut;
    late.timeout_ms = 2500;
    late.tries = 2;
    late.output = "logs/copy-3.log";
    EXPECT_TRUE(copy_failed(late));
    EXPECT_EQ(how_it_failed(late),
              "copy 3 timed out after 2.5 s after 2 tries (output in logs/copy-3.log)");
    EXPECT_NE(joblog_line(late).find("\t124\t9\t"), std::string::npos);
}

TEST(Report, RerunTakesTheLastLineOfEachCopyAndRefusesAnotherPlan) {
    const std::vector<std::string> plan = {"P T 0 2 0", "P T 2 2 1", "P T 4 2 2", "P T 6 2 3"};
    auto line = [](int seq, const char* exit_value, const char* signal_number,
                   const std::string& command) {
        return std::to_string(seq) + "\t:\t1.000\t     0.500\t0\t0\t" + exit_value + "\t" +
               signal_number + "\t" + command + "\n";
    };
    // Copy 0 failed, then passed; copy 1 passed, then timed out; copy 2 was
    // stopped; copy 3 never got a line.
    std::string log = std::string(kJobLogHeader) + line(1, "1", "0", plan[0]) +
                      line(2, "0", "0", plan[1]) + line(3, "-1", "9", plan[2]) +
                      line(1, "0", "0", plan[0]) + line(2, "124", "9", plan[1]);
    std::vector<int32_t> copies;
    std::string error;
    ASSERT_TRUE(copies_to_rerun(log, "j", plan, &copies, &error)) << error;
    EXPECT_EQ(copies, (std::vector<int32_t>{1, 2, 3}));

    EXPECT_FALSE(copies_to_rerun(log + line(2, "0", "0", "P T 2 3 1"), "j", plan, &copies, &error));
    EXPECT_EQ(error,
              "job log 'j' was written for another plan: copy 1 ran 'P T 2 3 1', this plan "
              "has 'P T 2 2 1'");
    EXPECT_FALSE(copies_to_rerun(log + line(5, "0", "0", "P T 8 2 4"), "j", plan, &copies, &error));
    EXPECT_FALSE(copies_to_rerun("", "j", plan, &copies, &error));
    EXPECT_EQ(error, "job log 'j' is empty");
    EXPECT_FALSE(copies_to_rerun("a,b\n", "j", plan, &copies, &error));
    EXPECT_FALSE(
        copies_to_rerun(std::string(kJobLogHeader) + "1\t2\n", "j", plan, &copies, &error));
}

TEST(Report, JunitTextIsValidXmlWhateverTheBytes) {
    std::string bytes("a\0b]]><&\"\x01\xff\xc3\xa9\xed\xa0\x80\r\n", 18);
    EXPECT_EQ(xml_text(bytes),
              "a\xef\xbf\xbd"
              "b]]&gt;&lt;&amp;&quot;\xef\xbf\xbd\xef\xbf\xbd\xc3\xa9\xef\xbf\xbd&#13;\n");
}

// A copy's output file past 4 GiB (sparse here) still gives its tail, on
// 32-bit systems and Windows too, where ftell's long cannot hold its size.
TEST(Report, JunitTakesTheTailOfAnOutputFilePast4GiB) {
    testsupport::TempDir dir;
    CopyRecord copy = ended(UTIL_END_EXITED, 0);
    copy.tries = 1;
    copy.output = dir.path() + "/copy-0.log";
    testsupport::write_file(copy.output, "start\n");
    std::filesystem::resize_file(copy.output, (uint64_t{1} << 32) + 100);
    std::FILE* file = std::fopen(copy.output.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputs("the last line\n", file);
    ASSERT_EQ(std::fclose(file), 0);
    std::string document = junit_document(&copy, 1, 0);
    EXPECT_NE(document.find("the last line\n</system-out>"), std::string::npos) << document.size();
}

}  // namespace
