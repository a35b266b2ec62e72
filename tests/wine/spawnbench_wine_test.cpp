// The fleet tests of the Windows build: the real SpawnBench.exe, with the
// stand-in beside it, under Wine. They run from Linux so that SIGINT and
// kill -9 can reach the launcher's wine process; what still runs afterwards is
// asked of Wine itself, by process id.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet_cases.h"
#include "fleet_folder.h"
#include "joblog.h"
#include "spawnbench_run.h"

namespace {

using namespace spawnbench_test;

// Generous bounds that only catch hangs: each Wine program takes a while to
// start, much longer on a loaded machine.
constexpr milliseconds kPatience{60000};

const std::string kBin = VORN_WINDOWS_BIN;

// A Windows program's text-mode output with Linux line ends.
std::string lf(std::string text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) result += text[i];
    }
    return result;
}

// A Linux path as Windows programs under Wine see it.
std::string windows_path(const std::string& path) {
    std::string result = "Z:" + path;
    for (char& c : result) {
        if (c == '/') c = '\\';
    }
    return result;
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

// The processes still running from `folder`, one a line, or what went wrong
// asking.
std::string still_running(const std::string& folder) {
    std::string command = quoted(VORN_WINE_RUN) + " " + quoted(VORN_WINE_LOADER) + " " +
                          quoted(VORN_WINE_PREFIX) + " " + quoted(kBin + "/processes_running.exe") +
                          " " + quoted(windows_path(folder));
    FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
    if (pipe == nullptr) return "cannot run processes_running.exe";
    std::string output;
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) output.append(buf, n);
    int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) return lf(output);
    return "processes_running.exe failed: " + output;
}

size_t line_count(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class WineSpawnBench : public FleetFolders {
protected:
    void SetUp() override {
        if (access(VORN_WINE_LOADER, X_OK) != 0) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::strcmp(ci, "true") == 0) {
                FAIL() << "no Wine loader at " VORN_WINE_LOADER;
            }
            GTEST_SKIP() << "no Wine loader at " VORN_WINE_LOADER;
        }
        FleetFolders::SetUp();
        // The programs run from the test's own folder, so that what still runs
        // from there is this test's.
        for (const char* program : {"SpawnBench.exe", "VORNCoreExTest.exe"}) {
            std::filesystem::copy_file(kBin + "/" + program, work_ + "/" + program);
        }
    }

    void write_config(const std::string& contents) {
        testsupport::write_file(work_ + "/VORNCoreExTest.ini", contents);
    }

    // Copies do no work and stay until stopped, unless a test says otherwise.
    RunOptions options(const Argv& args, Input input = Input::kPipe) {
        RunOptions o;
        o.shell_prefix = {VORN_WINE_RUN, VORN_WINE_LOADER, VORN_WINE_PREFIX};
        o.program = work_ + "/SpawnBench.exe";
        o.args = args;
        o.folder = work_;
        o.input = input;
        o.env = {"VORNCORE_RECORD_DIR=" + windows_path(records_), "VORNCORE_DELAY_MS=0",
                 "VORNCORE_HOLD_MS=-1"};
        return o;
    }

    // A fleet of `copies` copies with a child each, all running.
    void start_stubborn_fleet(SpawnBenchRun& run, size_t copies) {
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(wait_for_records(records_, copies, kPatience));
        ASSERT_TRUE(run.wait_for_output("Click enter to exit", kPatience));
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (read_child_pids(records_).size() < copies &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(50));
        }
        ASSERT_EQ(read_child_pids(records_).size(), copies);
        // What the survivor check sees: the launcher, every copy and every child.
        EXPECT_EQ(line_count(still_running(work_)), 1 + 2 * copies);
    }

    // No copy and no child of a copy runs, by `within` at the latest.
    void expect_nothing_survives(milliseconds within = milliseconds(0)) const {
        auto deadline = std::chrono::steady_clock::now() + within;
        std::string running;
        while (!(running = still_running(work_)).empty() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(250));
        }
        EXPECT_EQ(running, "") << "still running";
    }
};

class WineCommandLines : public WineSpawnBench, public ::testing::WithParamInterface<FleetCase> {};

TEST_P(WineCommandLines, EachCopyGetsItsRangeAndEnterStopsThem) {
    const FleetCase& c = GetParam();
    if (c.config) write_config(c.config);
    SpawnBenchRun run(options(c.args));
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(wait_for_records(records_, c.copies.size(), kPatience));
    ASSERT_TRUE(run.wait_for_output("Click enter to exit", kPatience));
    std::vector<Argv> argvs;
    for (const Record& r : read_records(records_)) argvs.push_back(r.argv);
    EXPECT_EQ(argvs, c.copies);

    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.out().find("All VORNCore Stopped!"), std::string::npos);
    EXPECT_EQ(run.err().find("SpawnBench"), std::string::npos) << run.err();
    expect_nothing_survives();
}

INSTANTIATE_TEST_SUITE_P(SpawnBench, WineCommandLines, ::testing::ValuesIn(kFleetCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WineSpawnBench, EndOfInputStopsTheFleetAtOnce) {
    write_config("[Platform]\ntotal=20\nseedID=E%d\n");
    SpawnBenchRun run(options({"10"}, Input::kNull));
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.err(), "");
    // The stop wakes the loop at once: a copy may be gone before it records.
    EXPECT_LE(read_records(records_).size(), 2u);
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, FleetEndingOnItsOwnIsNoticed) {
    write_config("[Platform]\ntotal=30\nseedID=F%d\n");
    RunOptions o = options({"10"});
    o.env.push_back("VORNCORE_HOLD_MS=0");
    o.env.push_back("VORNCORE_EXIT=3");
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(read_records(records_).size(), 3u);
    // Text mode: the Windows line end, as printf gives it there.
    std::string out = run.out();
    EXPECT_NE(out.find("Click enter to exit\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("All VORNCore Stopped!\r\n"), std::string::npos) << out;
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, InterruptStopsStubbornCopiesAndTheirChildren) {
    write_config("[Platform]\ntotal=3\nseedID=S%d\n");
    RunOptions o = options({"1"});
    o.env.push_back("VORNCORE_CHILD=1");
    o.env.push_back("VORNCORE_IGNORE_TERM=1");
    SpawnBenchRun run(o);
    start_stubborn_fleet(run, 3);

    run.send_signal(SIGINT);  // Wine hands it on as Ctrl+C
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.out().find("All VORNCore Stopped!"), std::string::npos);
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, KilledLauncherTakesItsFleetAlong) {
    write_config("[Platform]\ntotal=3\nseedID=K%d\n");
    RunOptions o = options({"1"});
    o.env.push_back("VORNCORE_CHILD=1");
    SpawnBenchRun run(o);
    start_stubborn_fleet(run, 3);

    run.send_signal(SIGKILL);
    EXPECT_EQ(run.wait(kPatience), -1);
    // Wine closes the dead launcher's handles, and with them the copies' jobs.
    expect_nothing_survives(kPatience);
}

TEST_F(WineSpawnBench, FailedCopyIsNamedLoggedAndCountedByStrict) {
    write_config("[Platform]\ntotal=3\nseedID=J%d\n");
    const std::string log = work_ + "/joblog";
    RunOptions o = options({"1", "--joblog", windows_path(log), "--strict"});
    o.env.insert(o.env.end(), {"VORNCORE_HOLD_MS_1=0", "VORNCORE_EXIT_1=3"});
    SpawnBenchRun run(o);
    auto rows = [&] { return testsupport::joblog_outcomes(lf(testsupport::read_file(log))); };
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (rows().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_EQ(rows().size(), 2u);
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 1);
    EXPECT_EQ(lf(run.err()), "SpawnBench: 1 of 3 copies failed: copy 1 exited with status 3\n");
    EXPECT_EQ(rows(),
              (std::vector<testsupport::Row>{{"Seq", "Exitval", "Signal", "Command"},
                                             {"2", "3", "0", "VORNCoreExTest.exe J%d 1 1 1"},
                                             {"1", "-1", "9", "VORNCoreExTest.exe J%d 0 1 0"},
                                             {"3", "-1", "9", "VORNCoreExTest.exe J%d 2 1 2"}}));
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, MissingProgramIsReported) {
    // A launcher alone in its folder; the system folders hold no stand-in either.
    std::filesystem::remove(work_ + "/VORNCoreExTest.exe");
    write_config("[Platform]\ntotal=2\nseedID=M\n");
    SpawnBenchRun run(options({"1"}));
    EXPECT_EQ(run.wait(kPatience), 0);
    const std::string prefix = "SpawnBench: cannot start VORNCoreExTest.exe: ";
    std::string err = run.err();
    size_t first_end = err.find("\r\n");
    ASSERT_NE(first_end, std::string::npos) << err;
    std::string line = err.substr(0, first_end + 2);
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << err;
    EXPECT_GT(line.size(), prefix.size() + 2) << "no reason given";
    EXPECT_EQ(line.find('\r'), line.size() - 2) << "the reason keeps its own line end";
    EXPECT_EQ(err, line + line +
                       "SpawnBench: 2 of 2 copies failed: copy 0 could not be started; copy 1 "
                       "could not be started\r\n");
    EXPECT_NE(lf(run.out()).find("All VORNCore Stopped!\n"), std::string::npos);
}

// The lines of one stream rebuilt from the tagged pieces, per copy.
std::map<int, std::vector<std::string>> tagged_lines(const std::string& text) {
    constexpr size_t kPiece = 64 * 1024;
    std::map<int, std::vector<std::string>> lines;
    std::map<int, std::string> joining;
    std::istringstream in(text);
    for (std::string piece; std::getline(in, piece);) {
        size_t tab = piece.find('\t');
        if (tab == std::string::npos) {
            ADD_FAILURE() << "untagged: " << piece.substr(0, 80);
            continue;
        }
        int copy = std::stoi(piece.substr(0, tab));
        joining[copy] += piece.substr(tab + 1);
        // A full piece goes on in the next one.
        if (piece.size() - tab - 1 == kPiece) continue;
        lines[copy].push_back(joining[copy]);
        joining[copy].clear();
    }
    return lines;
}

// Checks a copy's lines on both streams, as the stand-in numbers them: each
// one whole and once, in order on its stream, ending in one CR before the
// line feed but for a last line written without a line end. Returns the bytes
// the copy wrote, less the CRs.
long check_copy_lines(int copy, const std::vector<std::string>* streams[2], bool no_end) {
    long bytes = 0, count = 0, highest = -1, fillers = 0;
    std::vector<long> without_cr;
    for (int s = 0; s < 2; ++s) {
        long previous = -1;
        for (std::string line : *streams[s]) {
            if (line.rfind("VORNCoreExTest copy", 0) == 0) continue;  // its own report
            bool cr = !line.empty() && line.back() == '\r';
            if (cr) line.pop_back();
            EXPECT_EQ(line.find('\r'), std::string::npos) << "copy " << copy << ": CR CR LF";
            if (line.find_first_not_of('#') == std::string::npos) {
                // The last line, too short for its header.
                EXPECT_EQ(fillers++, 0) << "copy " << copy;
                if (!cr) without_cr.push_back(-1);
                bytes += static_cast<long>(line.size()) + 1;
                ++count;
                continue;
            }
            std::istringstream in(line);
            std::string c, l, n;
            in >> c >> l >> n;
            if (c != "c" + std::to_string(copy) || l.size() < 2 || n.size() < 2) {
                ADD_FAILURE() << "copy " << copy << ": " << line.substr(0, 60);
                continue;
            }
            long number = std::stol(l.substr(1)), length = std::stol(n.substr(1));
            EXPECT_GT(number, previous) << "copy " << copy << " out of order";
            EXPECT_EQ(static_cast<long>(line.size()) + 1, length) << line.substr(0, 60);
            size_t header = c.size() + l.size() + n.size() + 3;
            EXPECT_EQ(line.find_first_not_of(static_cast<char>('a' + number % 26), header),
                      std::string::npos)
                << line.substr(0, 60);
            if (!cr) without_cr.push_back(number);
            previous = number;
            highest = std::max(highest, number);
            bytes += length;
            ++count;
        }
    }
    if (fillers > 0) {
        ++highest;
        std::replace(without_cr.begin(), without_cr.end(), -1L, highest);
    }
    EXPECT_EQ(count, highest + 1) << "copy " << copy << ": lines lost or doubled";
    EXPECT_EQ(without_cr, no_end ? std::vector<long>{highest} : std::vector<long>{})
        << "copy " << copy;
    return bytes;
}

TEST_F(WineSpawnBench, TaggedLinesOf200CopiesArriveWholeUnderTheirCopy) {
    write_config("[Platform]\ntotal=200\nseedID=T%d\n");
    const long kBytes = 6000;
    RunOptions o = options({"1", "--tag"});
    o.env.insert(o.env.end(),
                 {"VORNCORE_HOLD_MS=0", "VORNCORE_WRITE_BYTES=" + std::to_string(kBytes),
                  "VORNCORE_LINE_LENGTH=300", "VORNCORE_LINE_RANDOM=1", "VORNCORE_WRITE_STREAM=3",
                  // On standard error, so that the report's last line does
                  // not follow on the same line.
                  "VORNCORE_WRITE_NO_END_7=1", "VORNCORE_WRITE_STREAM_7=2",
                  // Lines longer than a piece, which a CR may end.
                  "VORNCORE_WRITE_BYTES_3=600000", "VORNCORE_LINE_LENGTH_3=150000"});
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.wait_for_output("All VORNCore Stopped!", kPatience * 2)) << run.err();
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    std::string out = run.out();
    // Our own lines, untagged.
    const std::string first = "Click enter to exit\r\n", last = "All VORNCore Stopped!\r\n";
    ASSERT_EQ(out.rfind(first, 0), 0u) << out.substr(0, 80);
    ASSERT_EQ(out.substr(out.size() - last.size()), last);
    std::map<int, std::vector<std::string>> lines[2] = {
        tagged_lines(out.substr(first.size(), out.size() - first.size() - last.size())),
        tagged_lines(run.err())};
    ASSERT_EQ(lines[0].size(), 200u);
    for (int copy = 0; copy < 200; ++copy) {
        const std::vector<std::string>* streams[2] = {&lines[0][copy], &lines[1][copy]};
        EXPECT_EQ(check_copy_lines(copy, streams, copy == 7), copy == 3 ? 600000 : kBytes)
            << "copy " << copy;
    }
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, OutputFilesTakeEachCopysTwoStreams) {
    write_config("[Platform]\ntotal=3\nseedID=O%d\n");
    std::filesystem::create_directory(work_ + "/logs");
    testsupport::write_file(work_ + "/logs/copy-1.log", "stale");
    RunOptions o = options({"1", "--output", "logs/copy-%c.log"});
    o.env.insert(o.env.end(), {"VORNCORE_HOLD_MS=0", "VORNCORE_EXIT_1=3",
                               "VORNCORE_WRITE_BYTES=4000", "VORNCORE_WRITE_STREAM=3"});
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.wait_for_output("All VORNCore Stopped!", kPatience)) << run.err();
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.out(), "Click enter to exit\r\nAll VORNCore Stopped!\r\n");
    EXPECT_EQ(run.err(),
              "SpawnBench: 1 of 3 copies failed: copy 1 exited with status 3 (output in "
              "logs/copy-1.log)\r\n");
    for (int copy = 0; copy < 3; ++copy) {
        std::string file =
            testsupport::read_file(work_ + "/logs/copy-" + std::to_string(copy) + ".log");
        std::string start = "VORNCoreExTest copy " + std::to_string(copy) + ": start";
        EXPECT_EQ(file.rfind(start, 0), 0u) << file.substr(0, 80);
        // Both streams: 50 lines of 80 bytes, a CR each, and the two reports.
        EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 52) << copy;
        EXPECT_EQ(std::count(file.begin(), file.end(), '\r'), 52) << copy;
        EXPECT_EQ(file.find("\r\r"), std::string::npos);
        EXPECT_NE(file.find("c" + std::to_string(copy) + " l1 n80 b"), std::string::npos);
    }
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, JobsLimitRunningCopiesAndFillFreedSlotsAtOnce) {
    write_config("[Platform]\ntotal=8\nseedID=J%d\n");
    const std::string log = work_ + "/joblog";
    RunOptions o = options({"1", "--jobs", "3", "--joblog", windows_path(log)});
    o.env.push_back("VORNCORE_HOLD_MS=700");
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.wait_for_output("All VORNCore Stopped!", kPatience)) << run.err();
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    std::vector<std::pair<int64_t, int64_t>> s =
        testsupport::joblog_spans(lf(testsupport::read_file(log)));
    ASSERT_EQ(s.size(), 8u);
    std::sort(s.begin(), s.end());
    for (size_t i = 0; i < s.size(); ++i) {
        int at_once = 0;
        for (const auto& other : s)
            at_once += other.first <= s[i].first && s[i].first < other.second;
        EXPECT_LE(at_once, 3);
        if (i < 3) continue;
        // Started on the wake of a copy's end, not at the next poll.
        int64_t gap = 1000000;
        for (size_t k = 0; k < i; ++k) {
            if (s[k].second <= s[i].first + 5) gap = std::min(gap, s[i].first - s[k].second);
        }
        EXPECT_LT(gap, 300) << "copy started " << gap << " ms after a slot was freed";
    }
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, TimeoutStopsAHoldingCopyAndRetriesGiveAnotherTry) {
    write_config("[Platform]\ntotal=3\nseedID=R%d\n");
    const std::string log = work_ + "/joblog";
    RunOptions o = options(
        {"1", "--timeout", "1.5", "--retries", "1", "--joblog", windows_path(log), "--strict"});
    // Copy 1 holds, with a child of its own; copy 2 fails its first try.
    o.env.insert(o.env.end(), {"VORNCORE_HOLD_MS=0", "VORNCORE_HOLD_MS_1=-1", "VORNCORE_CHILD_1=1",
                               "VORNCORE_FAIL_TRIES_2=1"});
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.wait_for_output("All VORNCore Stopped!", kPatience)) << run.err();
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 1);
    EXPECT_EQ(lf(run.err()),
              "SpawnBench: 1 of 3 copies failed: copy 1 timed out after 1.5 s after 2 tries\n"
              "SpawnBench: 1 copy was flaky: copy 2 passed on its 2nd try\n");
    std::string text = lf(testsupport::read_file(log));
    std::multiset<std::string> outcomes;
    std::vector<testsupport::Row> rows = testsupport::joblog_outcomes(text);
    for (size_t i = 1; i < rows.size(); ++i)
        outcomes.insert(rows[i][0] + ":" + rows[i][1] + "/" + rows[i][2]);
    EXPECT_EQ(outcomes,
              (std::multiset<std::string>{"1:0/0", "2:124/9", "2:124/9", "3:1/0", "3:0/0"}))
        << text;
    // Stopped within 100 ms of its deadline (and the poll that logs it).
    for (const auto& span : testsupport::joblog_spans(text)) {
        int64_t runtime = span.second - span.first;
        if (runtime >= 1500) {
            EXPECT_LT(runtime, 1800);
        }
    }
    expect_nothing_survives();
}

// JUnit with its run-dependent times left out.
std::string without_times(std::string xml) {
    for (size_t at = 0; (at = xml.find(" time=\"", at)) != std::string::npos;) {
        size_t end = xml.find('"', at + 7);
        xml.erase(at, end + 1 - at);
    }
    return xml;
}

TEST_F(WineSpawnBench, CampaignPageJUnitAndTheReportFromItsLog) {
    write_config("[Platform]\ntotal=4\nseedID=H%d\n");
    // Copy 1 always fails, copy 2 fails its first try.
    RunOptions o = options({"1", "--retries", "1", "--joblog", "log", "--junit", "run.xml",
                            "--html", windows_path(work_ + "/run.html")});
    o.env.insert(o.env.end(),
                 {"VORNCORE_HOLD_MS=0", "VORNCORE_EXIT_1=3", "VORNCORE_FAIL_TRIES_2=1"});
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.wait_for_output("All VORNCore Stopped!", kPatience)) << run.err();
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    const std::string words =
        "SpawnBench: 1 of 4 copies failed: copy 1 exited with status 3 after 2 tries\n"
        "SpawnBench: 1 copy was flaky: copy 2 passed on its 2nd try\n";
    EXPECT_EQ(lf(run.err()), words);
    std::string check =
        "cd '" + work_ +
        "' && xmllint --noout run.xml && /usr/bin/python3 -c \"import junitparser; "
        "s = next(iter(junitparser.JUnitXml.fromfile('run.xml'))); "
        "assert (s.tests, s.failures, s.skipped) == (4, 1, 0), (s.tests, s.failures); "
        "c = [c for c in s if c.name == 'copy 2: indices 2-2'][0]; "
        "m = [x.get('message') for x in c._elem.findall('flakyFailure')]; "
        "assert m == ['try 1: copy 2 exited with status 1'], m\"";
    EXPECT_EQ(std::system(check.c_str()), 0);
    const std::string page = testsupport::read_file(work_ + "/run.html");
    EXPECT_NE(page.find("<script type=\"application/json\" id=\"campaign\">"), std::string::npos);

    // The same campaign from its log alone, starting nothing.
    std::filesystem::remove_all(records_);
    std::filesystem::create_directory(records_);
    SpawnBenchRun report(options({"1", "--report", windows_path(work_ + "/log"), "--junit",
                                  "report.xml", "--html", "report.html"},
                                 Input::kNull));
    EXPECT_EQ(report.wait(kPatience), 0);
    EXPECT_EQ(lf(report.err()), words);
    EXPECT_EQ(report.out(), "");
    EXPECT_TRUE(read_records(records_).empty());
    EXPECT_EQ(without_times(testsupport::read_file(work_ + "/report.xml")),
              without_times(testsupport::read_file(work_ + "/run.xml")));
    EXPECT_EQ(testsupport::read_file(work_ + "/report.html"), page);
}

TEST_F(WineSpawnBench, MaxFailuresStopsAOneSlotCampaignAndLogsTheRestNeverTried) {
    write_config("[Platform]\ntotal=5\nseedID=X%d\n");
    RunOptions o = options({"1", "-j", "1", "--max-failures", "1", "--strict", "--joblog", "log",
                            "--junit", "results.xml"});
    o.env.insert(o.env.end(), {"VORNCORE_HOLD_MS=0", "VORNCORE_EXIT_1=3"});
    // Stopped as Enter stops it: no key is needed.
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 1);
    EXPECT_EQ(run.out().find("All VORNCore Stopped!"), std::string::npos) << run.out();
    EXPECT_EQ(lf(run.err()),
              "SpawnBench: 1 of 5 copies failed: copy 1 exited with status 3\n"
              "SpawnBench: the campaign was stopped early: 1 copy failed, as many as "
              "--max-failures allows\n");
    EXPECT_EQ(testsupport::joblog_outcomes(lf(testsupport::read_file(work_ + "/log"))),
              (std::vector<testsupport::Row>{{"Seq", "Exitval", "Signal", "Command"},
                                             {"1", "0", "0", "VORNCoreExTest.exe X%d 0 1 0"},
                                             {"2", "3", "0", "VORNCoreExTest.exe X%d 1 1 1"},
                                             {"3", "-1", "0", "VORNCoreExTest.exe X%d 2 1 2"},
                                             {"4", "-1", "0", "VORNCoreExTest.exe X%d 3 1 3"},
                                             {"5", "-1", "0", "VORNCoreExTest.exe X%d 4 1 4"}}));
    EXPECT_NE(testsupport::read_file(work_ + "/results.xml")
                  .find("failures=\"1\" errors=\"0\" skipped=\"3\""),
              std::string::npos);
    EXPECT_EQ(read_records(records_).size(), 2u);
    expect_nothing_survives();
}

TEST_F(WineSpawnBench, ProgressLineOnAConsoleShowsItsMiddleDot) {
    write_config("[Platform]\ntotal=3\nseedID=P%d\n");
    // script(1) gives Wine a terminal, which it makes a console; the fleet
    // stops on its own at the failure.
    const std::string command = "cd " + quoted(work_.c_str()) +
                                " && VORNCORE_HOLD_MS=300 VORNCORE_DELAY_MS=0 VORNCORE_EXIT_2=3 "
                                "timeout 120 script -qfec \"" +
                                quoted(VORN_WINE_RUN) + " " + quoted(VORN_WINE_LOADER) + " " +
                                quoted(VORN_WINE_PREFIX) + " " + quoted(work_ + "/SpawnBench.exe") +
                                " 1 -j 1 --max-failures 1\" typescript </dev/null >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    // The text without Wine's cursor moves, which may stand for spaces.
    std::string screen, raw = testsupport::read_file(work_ + "/typescript");
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            for (i += 2; i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7E);) ++i;
        } else if (raw[i] != ' ') {
            screen += raw[i];
        }
    }
    // Not the UTF-8 bytes taken in the console's code page ("Â·").
    EXPECT_NE(screen.find("done\xC2\xB7"), std::string::npos) << screen;
    expect_nothing_survives();
}

class WineUsageErrors : public WineSpawnBench, public ::testing::WithParamInterface<const char*> {};

TEST_P(WineUsageErrors, StartNothingAndExitTwo) {
    SpawnBenchRun run(options({GetParam()}));
    EXPECT_EQ(run.wait(kPatience), 2);
    std::string err = lf(run.err());
    EXPECT_EQ(err, std::string("SpawnBench: invalid maximum '") + GetParam() +
                       "': expected a number from 1 to 2147483647\n");
    EXPECT_EQ(run.out(), "");
    EXPECT_TRUE(read_records(records_).empty());
}

INSTANTIATE_TEST_SUITE_P(SpawnBench, WineUsageErrors, ::testing::ValuesIn(kBadMaximums));

}  // namespace
