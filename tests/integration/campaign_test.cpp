// Runs of the real SpawnBench with the copies' output kept apart (--tag,
// --output) and as a campaign (--jobs, --timeout, --retries, --rerun-failed,
// --junit).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet_folder.h"
#include "joblog.h"
#include "spawnbench_run.h"
#include "temp_dir.h"

namespace {

using namespace spawnbench_test;
using testsupport::read_file;

constexpr milliseconds kPatience{30000};
constexpr size_t kPiece = 64 * 1024;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Campaign : public FleetFolder {
protected:
    void write_config(int total) {
        testsupport::write_file(work_ + "/VORNCoreExTest.ini",
                                "[Platform]\ntotal=" + std::to_string(total) + "\nseedID=C%d\n");
    }

    RunOptions options(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        RunOptions o;
        o.program = SPAWNBENCH_PATH;
        o.args = args;
        o.folder = work_;
        o.env = {"VORNCORE_RECORD_DIR=" + records_, "VORNCORE_DELAY_MS=0", "VORNCORE_HOLD_MS=0"};
        o.env.insert(o.env.end(), env.begin(), env.end());
        return o;
    }

    // Runs to the fleet's own end.
    void run_to_end(const RunOptions& o, int status, std::string* out, std::string* err) {
        SpawnBenchRun run(o);
        EXPECT_EQ(run.wait(kPatience), status) << run.err();
        *out = run.out();
        *err = run.err();
    }

    std::set<int> recorded_copies() const {
        std::set<int> copies;
        for (const Record& r : read_records(records_)) copies.insert(std::stoi(r.argv.back()));
        return copies;
    }
};

// The stand-in's lines ("c<copy> l<number> n<length> " and a letter of its
// number) rebuilt from the tagged pieces of one stream, checked whole and in
// order. `cut_last`: the last line may stop short (its copy was killed).
struct StreamCheck {
    std::map<int, std::string> joining;  // copy -> pieces so far
    std::map<int, std::vector<std::string>> lines;

    void take(const std::string& text) {
        for (const std::string& piece : lines_of(text)) {
            size_t tab = piece.find('\t');
            ASSERT_NE(tab, std::string::npos) << piece.substr(0, 80);
            int copy = std::stoi(piece.substr(0, tab));
            std::string& line = joining[copy];
            line += piece.substr(tab + 1);
            // A full piece goes on in the next one.
            if (piece.size() - tab - 1 == kPiece) continue;
            if (line.rfind("c", 0) == 0) lines[copy].push_back(line);
            line.clear();
        }
    }

    // Returns the bytes of each copy's lines, line ends included.
    std::map<int, long> check(int first_number, int step, bool cut_last) {
        std::map<int, long> bytes;
        for (auto& [copy, list] : lines) {
            long expected_number = first_number;
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string& line = list[i];
                std::istringstream in(line);
                std::string c, l, n;
                in >> c >> l >> n;
                EXPECT_EQ(c, "c" + std::to_string(copy)) << line.substr(0, 80);
                EXPECT_EQ(l, "l" + std::to_string(expected_number)) << line.substr(0, 80);
                long length = std::stol(n.substr(1));
                char letter = static_cast<char>('a' + expected_number % 26);
                size_t header = c.size() + l.size() + n.size() + 3;
                bool last = i + 1 == list.size();
                if (!(last && cut_last)) {
                    // The line end, or none for a last line without one.
                    EXPECT_TRUE(static_cast<long>(line.size()) + 1 == length ||
                                (last && static_cast<long>(line.size()) == length))
                        << line.substr(0, 80);
                }
                EXPECT_EQ(line.find_first_not_of(letter, header), std::string::npos)
                    << line.substr(0, 80);
                bytes[copy] += length;
                expected_number += step;
            }
        }
        return bytes;
    }
};

TEST_F(Campaign, TaggedLinesArriveWholeInOrderUnderTheirCopy) {
    write_config(12);
    const long kBytes = 600000;
    RunOptions o = options({"1", "--tag"}, {"VORNCORE_WRITE_BYTES=" + std::to_string(kBytes),
                                            "VORNCORE_LINE_LENGTH=150000", "VORNCORE_LINE_RANDOM=1",
                                            "VORNCORE_WRITE_STREAM=3", "VORNCORE_WRITE_NO_END_3=1",
                                            "VORNCORE_WRITE_NO_END_8=1"});
    std::string out, err;
    run_to_end(o, 0, &out, &err);
    // Our own lines are not tagged.
    EXPECT_EQ(out.rfind("Click enter to exit\n", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - 22), "All VORNCore Stopped!\n");
    StreamCheck stdout_lines, stderr_lines;
    stdout_lines.take(out.substr(20, out.size() - 42));
    stderr_lines.take(err);
    std::map<int, long> even = stdout_lines.check(0, 2, false);
    std::map<int, long> odd = stderr_lines.check(1, 2, false);
    ASSERT_EQ(even.size(), 12u);
    for (int copy = 0; copy < 12; ++copy) EXPECT_EQ(even[copy] + odd[copy], kBytes) << copy;
}

TEST_F(Campaign, SlowReaderHoldsTheCopiesButNotTheStop) {
    write_config(3);
    // Standard output goes into a pipe that nobody reads for a while.
    RunOptions o =
        options({"1", "--tag"}, {"VORNCORE_WRITE_BYTES=200000000", "VORNCORE_HOLD_MS=-1"});
    o.shell_prefix = {"/bin/bash", "-c",
                      "\"$0\" \"$@\" | { sleep 4; cat; }; exit ${PIPESTATUS[0]}"};
    SpawnBenchRun run(o);
    ASSERT_TRUE(wait_for_records(records_, 3, kPatience));
    std::this_thread::sleep_for(milliseconds(500));
    run.press_enter();
    // Every copy is gone within 2 s of Enter, while the reader still sleeps.
    std::this_thread::sleep_for(milliseconds(2000));
    for (const Record& r : read_records(records_)) EXPECT_NE(kill(r.pid, 0), 0) << r.pid;
    EXPECT_EQ(run.wait(kPatience), 0) << run.err();
    // What they wrote before the stop is all there, up to the cut last line.
    StreamCheck lines;
    std::string out = run.out();
    lines.take(out.substr(20));
    std::map<int, long> bytes = lines.check(0, 1, true);
    EXPECT_EQ(bytes.size(), 3u);
    expect_nothing_survives();
}

TEST_F(Campaign, ClosedOutputStopsTheFleet) {
    write_config(4);
    RunOptions o =
        options({"1", "--tag"}, {"VORNCORE_WRITE_BYTES=100000000", "VORNCORE_HOLD_MS=-1"});
    o.shell_prefix = {"/bin/bash", "-c",
                      "\"$0\" \"$@\" | head -n 3 >/dev/null; exit ${PIPESTATUS[0]}"};
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 141);
    EXPECT_NE(run.err().find("SpawnBench: standard output is closed; stopping the copies\n"),
              std::string::npos)
        << run.err();
    expect_nothing_survives();
}

TEST_F(Campaign, TagRaisesTheDescriptorLimitOrSaysItCannot) {
    write_config(300);
    // 600 pipes under a soft limit of 64: raised for us, not for the copies.
    RunOptions o = options({"1", "--tag"}, {"VORNCORE_HOLD_MS=-1"});
    o.shell_prefix = {"/bin/sh", "-c", "ulimit -Sn 64 && exec \"$0\" \"$@\""};
    {
        SpawnBenchRun run(o);
        ASSERT_TRUE(wait_for_records(records_, 300, kPatience));
        std::vector<Record> records = read_records(records_);
        std::string limits = read_file("/proc/" + std::to_string(records[0].pid) + "/limits");
        std::string line = limits.substr(limits.find("Max open files"));
        std::istringstream in(line.substr(14));
        std::string soft;
        in >> soft;
        EXPECT_EQ(soft, "64");
        run.press_enter();
        EXPECT_EQ(run.wait(kPatience), 0) << run.err();
    }
    expect_nothing_survives();
    // A hard limit too low: one line, and nothing starts.
    o.shell_prefix = {"/bin/sh", "-c", "ulimit -n 100 && exec \"$0\" \"$@\""};
    std::string out, err;
    testsupport::TempDir empty;
    RunOptions few = o;
    few.env.push_back("VORNCORE_RECORD_DIR=" + empty.path());
    run_to_end(few, 1, &out, &err);
    EXPECT_EQ(err,
              "SpawnBench: --tag needs 664 open files for 300 copies at once, but the limit "
              "is 100; raise it (ulimit -n) or lower --jobs\n");
    EXPECT_TRUE(read_records(empty.path()).empty());
}

TEST_F(Campaign, OutputFilesAndTheUsageErrors) {
    write_config(3);
    mkdir((work_ + "/logs").c_str(), 0755);
    testsupport::write_file(work_ + "/logs/copy-1.log", "stale");
    // Past 4 GiB (sparse): emptied as any other, on 32-bit systems too.
    std::filesystem::resize_file(work_ + "/logs/copy-1.log", (uint64_t{1} << 32) + 5);
    std::string out, err;
    run_to_end(
        options({"1", "--output", "logs/copy-%c.log"},
                {"VORNCORE_EXIT_1=3", "VORNCORE_WRITE_BYTES=1000", "VORNCORE_WRITE_STREAM=3"}),
        0, &out, &err);
    EXPECT_EQ(out, "Click enter to exit\nAll VORNCore Stopped!\n");
    EXPECT_EQ(err,
              "SpawnBench: 1 of 3 copies failed: copy 1 exited with status 3 (output in "
              "logs/copy-1.log)\n");
    std::string file = read_file(work_ + "/logs/copy-1.log");
    EXPECT_EQ(file.rfind("VORNCoreExTest copy 1: start", 0), 0u) << file;
    EXPECT_NE(file.find("c1 l1 n80 b"), std::string::npos);  // standard error too
    EXPECT_EQ(file.find("stale"), std::string::npos);

    const std::vector<std::vector<std::string>> bad = {
        {"--output", "missing/copy-%c.log"},
        {"--output", "copy.log"},
        {"--output", "%c-%d"},
        {"--tag", "--output", "%c"},
        {"--plan", "--tag"},
        {"--slurm", "--tag"},
        {"--jobs", "0"},
        {"-j", "x"},
        {"--timeout", "0"},
        {"--timeout", "abc"},
        {"--retries", "-1"},
        {"--retries", "101"},
        {"--only", "2-1"},
        {"--only", "99"},
        {"--only", "1,,2"},
        {"--rerun-failed", "missing.log"},
        {"--junit", "missing/j.xml"},
        {"--plan", "--jobs", "2"},
        {"--copy", "1", "--junit", "j.xml"},
        {"--copy", "0-1,x"},
        {"--copy", "1", "--joblog", "VORNCoreExTest.ini"},  // not a job log: left as it is
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = args;
        argv.push_back("1");
        testsupport::TempDir records;
        RunOptions o = options(argv);
        o.env.push_back("VORNCORE_RECORD_DIR=" + records.path());
        run_to_end(o, 2, &out, &err);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args[0] << ": " << err;
        EXPECT_EQ(err.rfind("SpawnBench: ", 0), 0u) << err;
        EXPECT_TRUE(read_records(records.path()).empty()) << args[0];
    }
}

TEST_F(Campaign, JobsLimitRunningCopiesAndRefillFreedSlotsAtOnce) {
    write_config(10);
    // With a pass a minute apart, a copy whose end or refill waited for the
    // pass would hold the campaign for a minute; without, it takes a second.
    constexpr long kSlowPollMs = 60000;
    SpawnBenchRun run(
        options({"1", "-j", "3", "--joblog", "log"},
                {"VORNCORE_HOLD_MS=300", "SPAWNBENCH_POLL_MS=" + std::to_string(kSlowPollMs)}));
    std::vector<std::pair<int64_t, int64_t>> s;
    auto deadline = std::chrono::steady_clock::now() + milliseconds(kSlowPollMs / 2);
    while ((s = testsupport::joblog_spans(read_file(work_ + "/log"))).size() < 10u &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0) << run.err();
    ASSERT_EQ(s.size(), 10u) << "the copies' ends or refills waited for the poll";
    for (const auto& span : s) {
        int at_once = 0;
        for (const auto& other : s)
            at_once += other.first <= span.first && span.first < other.second;
        EXPECT_LE(at_once, 3);
    }
    // Each later copy starts when one ends, not at the next pass.
    std::sort(s.begin(), s.end());
    for (size_t i = 3; i < s.size(); ++i) {
        int64_t gap = kSlowPollMs;
        for (size_t k = 0; k < i; ++k) {
            if (s[k].second <= s[i].first + 5) gap = std::min(gap, s[i].first - s[k].second);
        }
        EXPECT_LT(gap, kSlowPollMs / 2) << "copy started " << gap << " ms after a slot was freed";
    }
}

TEST_F(Campaign, FailedRangesRunAgainUntilEveryIndexPassedOnce) {
    write_config(6);
    mkdir((work_ + "/out").c_str(), 0755);
    // Copy 2 hangs, copy 4 fails its first try, copy 5 always fails.
    std::string out, err;
    // A time-out far beyond a try's start, even under sanitizers on a busy
    // machine.
    run_to_end(options({"1", "--timeout", "3", "--retries", "1", "--joblog", "log", "--junit",
                        "results.xml", "--output", "out/%c.log"},
                       {"VORNCORE_HOLD_MS_2=-1", "VORNCORE_FAIL_TRIES_4=1", "VORNCORE_EXIT_5=3"}),
               0, &out, &err);
    EXPECT_EQ(err,
              "SpawnBench: 2 of 6 copies failed: copy 2 timed out after 3 s after 2 tries "
              "(output in out/2.log); copy 5 exited with status 3 after 2 tries (output in "
              "out/5.log)\nSpawnBench: 1 copy was flaky: copy 4 passed on its 2nd try\n");
    auto rows = testsupport::joblog_outcomes(read_file(work_ + "/log"));
    std::multiset<std::string> outcomes;
    for (size_t i = 1; i < rows.size(); ++i)
        outcomes.insert(rows[i][0] + ":" + rows[i][1] + "/" + rows[i][2]);
    EXPECT_EQ(outcomes, (std::multiset<std::string>{"1:0/0", "2:0/0", "3:124/9", "3:124/9", "4:0/0",
                                                    "5:1/0", "5:0/0", "6:3/0", "6:3/0"}));
    // Read by real consumers of JUnit files.
    std::string check =
        "cd '" + work_ +
        "' && xmllint --noout results.xml && /usr/bin/python3 -c \"import junitparser; "
        "x = junitparser.JUnitXml.fromfile('results.xml'); "
        "s = next(iter(x)); "
        "assert (s.tests, s.failures, s.skipped) == (6, 2, 0), (s.tests, s.failures); "
        "c = [c for c in s if c.name == 'copy 5: indices 5-5'][0]; "
        "assert 'exited with status 3' in c.result[0].message; "
        "assert 'VORNCoreExTest copy 5' in c.system_out\"";
    EXPECT_EQ(std::system(check.c_str()), 0);

    // Only the failed ranges run again, and the log goes on.
    std::filesystem::remove_all(records_);
    mkdir(records_.c_str(), 0755);
    // A rerun's JUnit covers the whole campaign when its log goes on.
    run_to_end(options({"1", "--rerun-failed", "log", "--joblog", "log", "--junit", "rerun.xml"}),
               0, &out, &err);
    EXPECT_EQ(recorded_copies(), (std::set<int>{2, 5}));
    const std::string rerun_junit = read_file(work_ + "/rerun.xml");
    EXPECT_NE(rerun_junit.find("tests=\"6\" failures=\"0\""), std::string::npos) << rerun_junit;
    std::map<std::string, std::string> last;
    rows = testsupport::joblog_outcomes(read_file(work_ + "/log"));
    EXPECT_EQ(rows[0][0], "Seq");
    for (size_t i = 1; i < rows.size(); ++i) last[rows[i][0]] = rows[i][1] + "/" + rows[i][2];
    EXPECT_EQ(last.size(), 6u);
    for (const auto& [seq, outcome] : last) EXPECT_EQ(outcome, "0/0") << seq;

    // The whole campaign, reruns and all, from the run and from the log alone.
    run_to_end(options({"1", "--report", "log", "--junit", "whole.xml", "--html", "whole.html"}), 0,
               &out, &err);
    EXPECT_EQ(err,
              "SpawnBench: 3 copies were flaky: copy 2 passed on its 3rd try; copy 4 passed on "
              "its 2nd try; copy 5 passed on its 3rd try\n");
    check = "cd '" + work_ +
            "' && xmllint --noout whole.xml && /usr/bin/python3 -c \"import junitparser; "
            "s = next(iter(junitparser.JUnitXml.fromfile('whole.xml'))); "
            "assert (s.tests, s.failures, s.skipped) == (6, 0, 0), (s.tests, s.failures); "
            "c = [c for c in s if c.name == 'copy 2: indices 2-2'][0]; "
            "f = c._elem.findall('flakyFailure'); "
            "m = [x.get('message') for x in f]; "
            "assert len(m) == 2 and m[1].startswith('try 2: copy 2 timed out after 3'), m\"";
    EXPECT_EQ(std::system(check.c_str()), 0);
    EXPECT_NE(read_file(work_ + "/whole.html").find("id=\"campaign\""), std::string::npos);

    run_to_end(options({"1", "--rerun-failed", "log"}), 0, &out, &err);
    EXPECT_EQ(out, "SpawnBench: no copy is left to run: each one passed in job log 'log'\n");
    // The same log does not fit another plan.
    for (const char* mode : {"--rerun-failed", "--report"}) {
        run_to_end(options({"2", mode, "log", "--junit", "x.xml"}), 2, &out, &err);
        EXPECT_EQ(err.rfind("SpawnBench: job log 'log' was written for another plan: ", 0), 0u)
            << err;
    }
}

TEST_F(Campaign, MaxFailuresStopsTheCampaignAndLeavesTheRestUntried) {
    write_config(5);
    std::string out, err;
    // One at a time: copy 0 passes, copy 1 fails, and nothing else starts.
    run_to_end(options({"1", "-j", "1", "--max-failures", "1", "--strict", "--joblog", "log",
                        "--junit", "results.xml"},
                       {"VORNCORE_EXIT_1=3"}),
               1, &out, &err);
    EXPECT_EQ(out.find("All VORNCore Stopped!"), std::string::npos) << out;
    EXPECT_EQ(err,
              "SpawnBench: 1 of 5 copies failed: copy 1 exited with status 3\n"
              "SpawnBench: the campaign was stopped early: 1 copy failed, as many as "
              "--max-failures allows\n");
    auto rows = testsupport::joblog_outcomes(read_file(work_ + "/log"));
    ASSERT_EQ(rows.size(), 6u);
    std::multiset<std::string> outcomes;
    for (size_t i = 1; i < rows.size(); ++i)
        outcomes.insert(rows[i][0] + ":" + rows[i][1] + "/" + rows[i][2]);
    EXPECT_EQ(outcomes,
              (std::multiset<std::string>{"1:0/0", "2:3/0", "3:-1/0", "4:-1/0", "5:-1/0"}));
    EXPECT_NE(read_file(work_ + "/results.xml").find("failures=\"1\" errors=\"0\" skipped=\"3\""),
              std::string::npos);
    EXPECT_EQ(recorded_copies(), (std::set<int>{0, 1}));
    // Its log, untried copies and all, is this plan's for a rerun.
    run_to_end(options({"1", "--rerun-failed", "log"}), 0, &out, &err);
    EXPECT_EQ(recorded_copies(), (std::set<int>{0, 1, 2, 3, 4})) << err;
}

}  // namespace
