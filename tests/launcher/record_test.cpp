// The campaign's record: its words, its job log lines, and its history read
// back from a job log. How it follows real copies is tested with the fleet
// (tests/integration).
#include "record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "junit.h"
#include "report.h"
#include "temp_dir.h"

namespace {

TryRecord ended(TryOutcome outcome, int32_t code = 0, int64_t runtime_ms = 0) {
    TryRecord attempt;
    attempt.outcome = outcome;
    attempt.code = code;
    attempt.runtime_ms = runtime_ms;
    return attempt;
}

CopyRecord copy_with(int32_t number, std::vector<TryRecord> tries) {
    CopyRecord copy;
    copy.copy = number;
    copy.tries = std::move(tries);
    return copy;
}

TEST(Record, WordsNameTheFailuresAndTheFlakyAndFollowTheJobLogColumns) {
    std::vector<CopyRecord> fleet;
    fleet.push_back(copy_with(0, {ended(TryOutcome::kRunning)}));
    fleet.push_back(copy_with(1, {ended(TryOutcome::kExited, 3)}));
    fleet.push_back(copy_with(2, {ended(TryOutcome::kStartFailed)}));
    fleet.push_back(copy_with(3, {ended(TryOutcome::kExited, 1), ended(TryOutcome::kNotTried),
                                  ended(TryOutcome::kExited, 0)}));
    for (int i = 4; i < 8; ++i) fleet.push_back(copy_with(i, {ended(TryOutcome::kExited, 1)}));
    fleet.push_back(copy_with(8, {ended(TryOutcome::kSignaled, 11, 1500)}));
    // Named in full by the fleet tests; cut after the first five.
    EXPECT_NE(failure_summary(fleet.data(), 9).find("; copy 6 exited with status 1; and 2 more"),
              std::string::npos);
    EXPECT_EQ(failure_summary(fleet.data(), 1), "");
    // A stop between two tries is no try of its own.
    EXPECT_EQ(flaky_summary(fleet.data(), 9),
              "SpawnBench: 1 copy was flaky: copy 3 passed on its 2nd try");
    EXPECT_EQ(ordinal(11) + ordinal(22) + ordinal(103), "11th22nd103rd");

    CampaignCounts counts = campaign_counts(fleet.data(), 9);
    EXPECT_EQ(counts.running + counts.passed + counts.failed + counts.flaky, 1 + 1 + 7 + 1);
    counts = CampaignCounts{};
    counts.copies = 20;
    counts.passed = 5;
    counts.failed = 3;
    counts.flaky = 1;
    counts.running = 4;
    EXPECT_EQ(
        progress_line(counts, 724000),
        "8/20 done (3 failed, 1 flaky) \xC2\xB7 4 running, 8 waiting \xC2\xB7 12m04s \xC2\xB7 "
        "about 18m06s left");

    fleet[8].tries[0].start_epoch_ms = 1700000000042;
    fleet[8].command = "VORNCoreExTest.exe A\tB 8 1 8";
    EXPECT_EQ(joblog_line(fleet[8], fleet[8].tries[0]),
              "9\t:\t1700000000.042\t     1.500\t0\t0\t0\t11\tVORNCoreExTest.exe A?B 8 1 8\n");

    // A time-out stays apart from a stop in the log, and the words name the
    // tries and the output file.
    TryRecord late = ended(TryOutcome::kTimedOut);
    late.timeout_ms = 2500;
    CopyRecord slow = copy_with(3, {ended(TryOutcome::kExited, 1), late});
    slow.output = "logs/copy-3.log";
    EXPECT_TRUE(copy_failed(slow));
    EXPECT_EQ(how_it_failed(slow),
              "copy 3 timed out after 2.5 s after 2 tries (output in logs/copy-3.log)");
    EXPECT_NE(joblog_line(slow, late).find("\t124\t9\t"), std::string::npos);
}

TEST(Record, JobLogHistoryKeepsEveryTryAcrossRerunsAndRefusesAnotherPlan) {
    const FleetPlan plan = fleet_plan(8, 2);  // four copies of two
    auto command = [](int copy) {
        return "VORNCoreExTest.exe T " + std::to_string(copy * 2) + " 2 " + std::to_string(copy);
    };
    auto line = [](int seq, const char* exit_value, const char* signal_number,
                   const std::string& text) {
        return std::to_string(seq) + "\t:\t1.000\t     0.500\t0\t0\t" + exit_value + "\t" +
               signal_number + "\t" + text + "\n";
    };
    // Copy 0 failed, then passed on a rerun; copy 1 passed, then timed out;
    // copy 2 was stopped; copy 3 never got a line. A parallel log of its own
    // host, padded and with CR LF, reads the same.
    std::string log = std::string(kJobLogHeader) + line(1, "1", "0", command(0)) +
                      line(2, "0", "0", command(1)) + line(3, "-1", "9", command(2)) +
                      "1\tnode7\t1700000000.5\t    12.25\t0\t0\t0\t0\t" + command(0) + "\r\n" +
                      line(2, "124", "9", command(1));
    std::vector<CopyRecord> copies;
    std::string error;
    ASSERT_TRUE(read_joblog(log, "j", plan, "T", &copies, &error)) << error;
    ASSERT_EQ(copies.size(), 4u);
    EXPECT_EQ(copies_to_rerun(copies), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(flaky_try(copies[0]), 2);
    EXPECT_EQ(copies[0].host, "node7");
    EXPECT_EQ(copies[0].tries[1].start_epoch_ms, 1700000000500);
    EXPECT_EQ(copies[0].tries[1].runtime_ms, 12250);
    EXPECT_EQ(how_it_failed(copies[1]), "copy 1 timed out after 0.5 s after 2 tries");
    EXPECT_EQ(copies[2].tries[0].outcome, TryOutcome::kStopped);
    EXPECT_TRUE(copies[3].tries.empty());
    EXPECT_EQ(copies[3].first, 6);

    // JUnit: the flaky copy passes with its failed try, the others as before.
    std::string xml = junit_document(copies.data(), 4, 1000);
    EXPECT_NE(xml.find("failures=\"1\" errors=\"0\" skipped=\"2\""), std::string::npos);
    EXPECT_NE(xml.find("<flakyFailure message=\"try 1: copy 0 exited with status 1\" type=\"exited "
                       "with status 1\"/>"),
              std::string::npos);

    EXPECT_FALSE(read_joblog(log + line(2, "0", "0", "VORNCoreExTest.exe T 2 3 1"), "j", plan, "T",
                             &copies, &error));
    EXPECT_EQ(error,
              "job log 'j' was written for another plan: copy 1 ran 'VORNCoreExTest.exe T 2 3 1', "
              "this plan has 'VORNCoreExTest.exe T 2 2 1'");
    EXPECT_FALSE(read_joblog(log + line(5, "0", "0", command(4)), "j", plan, "T", &copies, &error));
    EXPECT_FALSE(read_joblog("", "j", plan, "T", &copies, &error));
    EXPECT_EQ(error, "job log 'j' is empty");
    EXPECT_FALSE(read_joblog("a,b\n", "j", plan, "T", &copies, &error));
    for (const char* torn : {"1\t2\n", "1\t:\t1.0\t0.5\t0\t0\t0\t", "1\t:\t1.0\tx\t0\t0\t0\t0\tc\n",
                             "1\t:\t99999999999999999\t0.5\t0\t0\t0\t0\tc\n"}) {
        EXPECT_FALSE(
            read_joblog(std::string(kJobLogHeader) + torn, "j", plan, "T", &copies, &error));
        EXPECT_EQ(error, "job log 'j' is not a job log: line 2 does not have its columns") << torn;
    }
}

TEST(Record, JunitTextIsValidXmlWhateverTheBytes) {
    std::string bytes("a\0b]]><&\"\x01\xff\xc3\xa9\xed\xa0\x80\r\n", 18);
    EXPECT_EQ(xml_text(bytes),
              "a\xef\xbf\xbd"
              "b]]&gt;&lt;&amp;&quot;\xef\xbf\xbd\xef\xbf\xbd\xc3\xa9\xef\xbf\xbd&#13;\n");
}

// A copy's output file past 4 GiB (sparse here) still gives its tail, on
// 32-bit systems and Windows too, where ftell's long cannot hold its size.
TEST(Record, JunitTakesTheTailOfAnOutputFilePast4GiB) {
    testsupport::TempDir dir;
    CopyRecord copy = copy_with(0, {ended(TryOutcome::kExited, 0)});
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
