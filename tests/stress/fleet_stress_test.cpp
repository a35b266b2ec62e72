// Large fleets of the stand-in under the real SpawnBench: however the fleet is
// stopped, no copy, no child of a copy and no zombie may be left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fleet_folder.h"
#include "spawnbench_run.h"
#include "temp_dir.h"

namespace {

using namespace spawnbench_test;

constexpr size_t kFleet = 500;
// Only catches hangs: starting 500 copies under ASan takes a few seconds.
constexpr milliseconds kPatience{60000};

// A copy, its child and some slack for the rest of the machine.
constexpr rlim_t kProcessesNeeded = 2 * kFleet + 500;

// Root is not held to RLIMIT_NPROC; anyone else may need to raise it.
bool process_limit_suffices(std::string* why) {
    if (geteuid() == 0) return true;
    rlimit limit{};
    if (getrlimit(RLIMIT_NPROC, &limit) != 0) return true;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kProcessesNeeded) return true;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= kProcessesNeeded) {
        limit.rlim_cur = kProcessesNeeded;
        if (setrlimit(RLIMIT_NPROC, &limit) == 0) return true;
    }
    *why = "ulimit -u is " + std::to_string(limit.rlim_cur) + "; these fleets need " +
           std::to_string(kProcessesNeeded);
    return false;
}

enum class Stop { kEnter, kSigterm, kOnTheirOwn };
// Stubborn copies ignore SIGTERM and start a child of their own, which
// ignores it too.
enum class Copies { kPlain, kStubborn };

struct FleetCase {
    Stop stop;
    Copies copies;
};

std::string case_name(const FleetCase& c) {
    const char* stop = c.stop == Stop::kEnter     ? "Enter"
                       : c.stop == Stop::kSigterm ? "Sigterm"
                                                  : "OnTheirOwn";
    return std::string(stop) + (c.copies == Copies::kStubborn ? "Stubborn" : "Plain");
}

void PrintTo(const FleetCase& c, std::ostream* os) { *os << case_name(c); }

class Fleet : public FleetFolder {
protected:
    void SetUp() override {
        std::string why;
        if (!process_limit_suffices(&why)) {
            GTEST_SKIP() << why;
        }
        FleetFolder::SetUp();
    }

    // One index per copy, so `copies` copies.
    void write_config(size_t copies) {
        testsupport::write_file(work_ + "/VORNCoreExTest.ini",
                                "[Platform]\ntotal=" + std::to_string(copies) + "\nseedID=S%d\n");
    }

    // Light copies: no work, held until killed unless the case says otherwise.
    RunOptions options(const std::vector<std::string>& extra_env = {}) {
        RunOptions o;
        o.program = SPAWNBENCH_PATH;
        o.args = {"1"};
        o.folder = work_;
        o.env = {"VORNCORE_RECORD_DIR=" + records_, "VORNCORE_DELAY_MS=0", "VORNCORE_HOLD_MS=-1"};
        // Under ASan, a leak check as each of 500 copies exits doubles the run.
        const char* asan = std::getenv("ASAN_OPTIONS");
        o.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
        o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
        return o;
    }

    bool wait_for_children(size_t count) const {
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (read_child_pids(records_).size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return true;
    }

    // Every copy number from 0 to copies - 1 started exactly once.
    void expect_each_copy_once(size_t copies) const {
        std::vector<Record> records = read_records(records_);
        ASSERT_EQ(records.size(), copies);
        for (size_t i = 0; i < copies; ++i) {
            ASSERT_EQ(records[i].argv.size(), 5u);
            EXPECT_EQ(records[i].argv[4], std::to_string(i));
        }
    }
};

class FleetStop : public Fleet, public ::testing::WithParamInterface<FleetCase> {};

TEST_P(FleetStop, LeavesNothingBehind) {
    const FleetCase& c = GetParam();
    bool stubborn = c.copies == Copies::kStubborn;
    // A stubborn copy is two processes.
    size_t copies = stubborn ? kFleet / 2 : kFleet;
    write_config(copies);
    std::vector<std::string> env;
    if (stubborn) env = {"VORNCORE_CHILD=1", "VORNCORE_IGNORE_TERM=1"};
    // Copies that end on their own leave their children behind them.
    if (c.stop == Stop::kOnTheirOwn) env.push_back("VORNCORE_HOLD_MS=0");

    SpawnBenchRun run(options(env));
    ASSERT_TRUE(run.started());
    if (c.stop == Stop::kOnTheirOwn) {
        EXPECT_EQ(run.wait(kPatience), 0);
        EXPECT_NE(run.out().find("All VORNCore Stopped!\n"), std::string::npos);
    } else {
        ASSERT_TRUE(wait_for_records(records_, copies, kPatience));
        if (stubborn) {
            ASSERT_TRUE(wait_for_children(copies));
        }
        ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
        if (c.stop == Stop::kEnter) {
            run.press_enter();
        } else {
            run.send_signal(SIGTERM);
        }
        EXPECT_EQ(run.wait(kPatience), 0);
        EXPECT_EQ(run.out().find("All VORNCore Stopped!"), std::string::npos);
    }
    EXPECT_EQ(run.err(), "");
    expect_each_copy_once(copies);
    if (stubborn) {
        EXPECT_EQ(read_child_pids(records_).size(), copies);
    }
    expect_nothing_survives();
}

INSTANTIATE_TEST_SUITE_P(Fleet, FleetStop,
                         ::testing::Values(FleetCase{Stop::kEnter, Copies::kPlain},
                                           FleetCase{Stop::kSigterm, Copies::kPlain},
                                           FleetCase{Stop::kOnTheirOwn, Copies::kPlain},
                                           FleetCase{Stop::kEnter, Copies::kStubborn},
                                           FleetCase{Stop::kSigterm, Copies::kStubborn},
                                           FleetCase{Stop::kOnTheirOwn, Copies::kStubborn}),
                         [](const auto& info) { return case_name(info.param); });

// A stop that arrives while copies are still being started: what was started
// is stopped, the rest never starts.
TEST_F(Fleet, SigtermWhileStartingLeavesNothingBehind) {
    write_config(kFleet);
    SpawnBenchRun run(options());
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(wait_for_records(records_, kFleet / 5, kPatience));
    run.send_signal(SIGTERM);
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.err(), "");
    size_t started = read_records(records_).size();
    EXPECT_GE(started, kFleet / 5);
    EXPECT_LE(started, kFleet);
    expect_nothing_survives();
}

TEST_F(Fleet, ProgramMissingForEveryCopyIsReportedForEach) {
    // A launcher alone in its folder, with nothing on PATH either.
    std::string lonely = work_ + "/SpawnBench";
    std::filesystem::copy_file(SPAWNBENCH_PATH, lonely);
    write_config(kFleet);
    RunOptions o = options({"PATH=/nonexistent"});
    o.program = lonely;
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.wait(kPatience), 0);

    const std::string line =
        "SpawnBench: cannot start VORNCoreExTest.exe: No such file or directory\n";
    std::string expected;
    for (size_t i = 0; i < kFleet; ++i) expected += line;
    expected += "SpawnBench: " + std::to_string(kFleet) + " of " + std::to_string(kFleet) +
                " copies failed: copy 0 could not be started; copy 1 could not be started; copy 2 "
                "could not be started; copy 3 could not be started; copy 4 could not be started; "
                "and " +
                std::to_string(kFleet - 5) + " more\n";
    EXPECT_EQ(run.err(), expected);
    EXPECT_NE(run.out().find("All VORNCore Stopped!\n"), std::string::npos);
    EXPECT_TRUE(read_records(records_).empty());
    EXPECT_TRUE(no_children_left({}));
}

}  // namespace
