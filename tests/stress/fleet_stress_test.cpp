// Large fleets of the stand-in under the real SpawnBench: however the fleet is
// stopped, no copy, no child of a copy and no zombie may be left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
// The big fleet. Start and stop times and SpawnBench's peak memory are
// printed for the record, never asserted.
constexpr size_t kBigFleet = 2000;
// Only catches hangs: starting 500 copies under ASan takes a few seconds.
constexpr milliseconds kPatience{60000};

// The big fleet, and some slack for the rest of the machine.
constexpr rlim_t kProcessesNeeded = kBigFleet + 500;

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
// ignores it too. Many: the big fleet of plain copies.
enum class Copies { kPlain, kStubborn, kMany };

struct FleetCase {
    Stop stop;
    Copies copies;
    bool contain = false;  // --contain
};

std::string case_name(const FleetCase& c) {
    const char* stop = c.stop == Stop::kEnter     ? "Enter"
                       : c.stop == Stop::kSigterm ? "Sigterm"
                                                  : "OnTheirOwn";
    const char* copies = c.copies == Copies::kStubborn ? "Stubborn"
                         : c.copies == Copies::kMany   ? "Many"
                                                       : "Plain";
    return std::string(stop) + copies + (c.contain ? "Contained" : "");
}

void PrintTo(const FleetCase& c, std::ostream* os) { *os << case_name(c); }

// Only catches hangs: on two busy cores the big fleet takes half a minute or
// more to start.
constexpr milliseconds kBigPatience{180000};

// Peak resident size of `pid` so far, in KiB; 0 once it is gone.
long peak_kib(pid_t pid) {
    std::string status = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

double seconds_since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

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
    bool many = c.copies == Copies::kMany;
    // A stubborn copy is two processes.
    size_t copies = many ? kBigFleet : stubborn ? kFleet / 2 : kFleet;
    milliseconds patience = many ? kBigPatience : kPatience;
    write_config(copies);
    std::vector<std::string> env;
    if (stubborn) env = {"VORNCORE_CHILD=1", "VORNCORE_IGNORE_TERM=1"};
    // Copies that end on their own leave their children behind them.
    if (c.stop == Stop::kOnTheirOwn) env.push_back("VORNCORE_HOLD_MS=0");
    // Contained copies record pids of their namespace: their environment
    // tells them apart instead.
    const std::string mark = new_mark();
    if (c.contain) env.push_back(mark);
    RunOptions o = options(env);
    if (c.contain) o.args.insert(o.args.begin(), "--contain");
#ifdef VORN_PLAIN_CORETEST_PATH
    if (many) {
        // A launcher of its own in the current folder, beside a plain stand-in.
        o.program = work_ + "/SpawnBench";
        std::filesystem::copy_file(SPAWNBENCH_PATH, o.program);
        std::filesystem::create_symlink(VORN_PLAIN_CORETEST_PATH, work_ + "/VORNCoreExTest.exe");
    }
#endif

    auto begin = std::chrono::steady_clock::now();
    SpawnBenchRun run(o);
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(wait_for_records(records_, copies, patience));
    double start_s = seconds_since(begin);
    auto stopping = std::chrono::steady_clock::now();
    if (c.stop != Stop::kOnTheirOwn) {
        if (stubborn) {
            ASSERT_TRUE(wait_for_children(copies));
        }
        ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
        stopping = std::chrono::steady_clock::now();
        if (c.stop == Stop::kEnter) {
            run.press_enter();
        } else {
            run.send_signal(SIGTERM);
        }
    }
    // The high-water mark covers the start as well.
    long peak = 0;
    int status = -1;
    while (run.started() && seconds_since(stopping) < patience.count() / 1000.0) {
        peak = std::max(peak, peak_kib(run.pid()));
        status = run.wait(milliseconds(20));
    }
    EXPECT_EQ(status, 0);
    std::printf(
        "%zu copies: all running after %.2f s, stopped %.2f s later; SpawnBench peak "
        "%.1f MiB\n",
        copies, start_s, seconds_since(stopping), peak / 1024.0);
    EXPECT_EQ(run.out().find("All VORNCore Stopped!\n") != std::string::npos,
              c.stop == Stop::kOnTheirOwn);
    EXPECT_EQ(run.err(), "");
    expect_each_copy_once(copies);
    if (stubborn) {
        EXPECT_EQ(read_child_pids(records_).size(), copies);
    }
    if (c.contain) {
        EXPECT_EQ(marked_processes(mark).size(), 0u);
        EXPECT_TRUE(no_children_left({}));
    } else {
        expect_nothing_survives();
    }
}

INSTANTIATE_TEST_SUITE_P(Fleet, FleetStop,
                         ::testing::Values(FleetCase{Stop::kEnter, Copies::kPlain},
                                           FleetCase{Stop::kSigterm, Copies::kPlain},
                                           FleetCase{Stop::kOnTheirOwn, Copies::kPlain},
                                           FleetCase{Stop::kEnter, Copies::kStubborn},
                                           FleetCase{Stop::kSigterm, Copies::kStubborn},
                                           FleetCase{Stop::kOnTheirOwn, Copies::kStubborn},
                                           FleetCase{Stop::kEnter, Copies::kMany},
                                           FleetCase{Stop::kSigterm, Copies::kMany},
                                           FleetCase{Stop::kOnTheirOwn, Copies::kMany},
                                           // A stop asked for, and none: Enter stands for
                                           // the signals, which take its path.
                                           FleetCase{Stop::kEnter, Copies::kMany, true},
                                           FleetCase{Stop::kOnTheirOwn, Copies::kMany, true}),
                         [](const auto& info) { return case_name(info.param); });

// The big fleet with its output kept apart: a file per copy under a limit of
// 256 descriptors, then tagged lines through two pipes per copy.
TEST_F(Fleet, BigFleetKeepsEachCopysOutputApart) {
    write_config(kBigFleet);
    std::filesystem::create_directory(work_ + "/out");
    RunOptions o = options({"VORNCORE_HOLD_MS=0", "VORNCORE_WRITE_BYTES=1000"});
    o.args = {"1", "--output", "out/%c.log"};
    o.shell_prefix = {"/bin/sh", "-c", "ulimit -n 256 && exec \"$0\" \"$@\""};
#ifdef VORN_PLAIN_CORETEST_PATH
    o.program = work_ + "/SpawnBench";
    std::filesystem::copy_file(SPAWNBENCH_PATH, o.program);
    std::filesystem::create_symlink(VORN_PLAIN_CORETEST_PATH, work_ + "/VORNCoreExTest.exe");
#endif
    for (bool tag : {false, true}) {
        if (tag) {
            std::filesystem::remove_all(records_);
            std::filesystem::create_directory(records_);
            o.args = {"1", "--tag"};
            o.shell_prefix.clear();
        }
        SpawnBenchRun run(o);
        EXPECT_EQ(run.wait(kBigPatience), 0) << run.err();
        EXPECT_EQ(run.err(), "");
        expect_each_copy_once(kBigFleet);
        size_t lines = 0;
        std::string out = run.out();
        for (size_t copy = 0; copy < kBigFleet; ++copy) {
            std::string first = "c" + std::to_string(copy) + " l0 n80 ";
            if (tag) {
                EXPECT_NE(out.find("\n" + std::to_string(copy) + "\t" + first), std::string::npos)
                    << copy;
            } else {
                std::string file =
                    testsupport::read_file(work_ + "/out/" + std::to_string(copy) + ".log");
                EXPECT_NE(file.find(first), std::string::npos) << copy;
                lines += static_cast<size_t>(std::count(file.begin(), file.end(), '\n'));
            }
        }
        // Each copy: a start line, 13 lines of output and a done line; under
        // --tag our prompt and the end line too.
        size_t expected = kBigFleet * 15;
        if (tag) {
            lines = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
            expected += 2;
        }
        EXPECT_EQ(lines, expected);
        expect_nothing_survives();
    }
}

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

TEST_F(Fleet, ProgramMissingForEveryCopyIsReportedOnceEachThenCounted) {
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
    // The first few one by one and a count of the rest as they fail, the
    // report's summary once the fleet is stopped.
    std::string expected = line + line + line +
                           "SpawnBench: 497 more copies could not be started; 500 of 500 failed\n";
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
