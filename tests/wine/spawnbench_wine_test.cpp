// The fleet tests of the Windows build: the real SpawnBench.exe, with the
// stand-in beside it, under Wine. They run from Linux so that SIGINT and
// kill -9 can reach the launcher's wine process; what still runs afterwards is
// asked of Wine itself, by process id.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

TEST_F(WineSpawnBench, EndOfInputStopsTheFleet) {
    write_config("[Platform]\ntotal=20\nseedID=E%d\n");
    SpawnBenchRun run(options({"10"}, Input::kNull));
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.err(), "");
    EXPECT_EQ(read_records(records_).size(), 2u);
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
