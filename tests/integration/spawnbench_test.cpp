// Runs the real SpawnBench with the stand-in core test program beside it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet_cases.h"
#include "fleet_folder.h"
#include "joblog.h"
#include "spawnbench_run.h"
#include "temp_dir.h"

namespace {

using namespace spawnbench_test;
using testsupport::joblog_outcomes;

// Generous bounds that only catch hangs; the poll alone takes a second.
constexpr milliseconds kPatience{15000};

const std::string kNoSlotLeft =
    "SpawnBench: cannot start VORNCoreExTest.exe: Resource temporarily unavailable\n";

// Reaps whatever was handed to us until nothing is left; false if something
// still runs after `timeout`.
bool reap_orphans(milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pid_t got = waitpid(-1, nullptr, WNOHANG);
        if (got < 0 && errno == ECHILD) return true;
        if (got == 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs the launcher as a user of its own, allowed `tasks` processes and
// threads in all. Root only: anyone else can neither pick a user nor set a
// limit that ignores whatever else they run.
bool as_limited_user(int tasks, std::vector<std::string>* prefix, std::string* why) {
    const char* setpriv = "/usr/bin/setpriv";
    const char* prlimit = "/usr/bin/prlimit";
    if (geteuid() != 0) {
        *why = "needs root to run SpawnBench as a user with a process limit";
        return false;
    }
    if (access(setpriv, X_OK) != 0 || access(prlimit, X_OK) != 0) {
        *why = "needs setpriv and prlimit (util-linux)";
        return false;
    }
    // A user id nobody else has, and that no other run of this test shares.
    std::string uid = std::to_string(2000000000u + static_cast<unsigned>(getpid()));
    *prefix = {setpriv,
               "--reuid=" + uid,
               "--regid=" + uid,
               "--clear-groups",
               "--",
               prlimit,
               "--nproc=" + std::to_string(tasks),
               "--"};
    return true;
}

class SpawnBench : public FleetFolder {
protected:
    void write_config(const std::string& contents) {
        testsupport::write_file(work_ + "/VORNCoreExTest.ini", contents);
    }

    // Copies do no work and stay until stopped, unless a test says otherwise.
    RunOptions options(const Argv& args, Input input = Input::kPipe) {
        RunOptions o;
        o.program = SPAWNBENCH_PATH;
        o.args = args;
        o.folder = work_;
        o.input = input;
        o.env = {"VORNCORE_RECORD_DIR=" + records_, "VORNCORE_DELAY_MS=0", "VORNCORE_HOLD_MS=-1"};
        return o;
    }

    static std::vector<Argv> argvs(const std::vector<Record>& records) {
        std::vector<Argv> result;
        for (const Record& r : records) result.push_back(r.argv);
        return result;
    }
};

class CommandLines : public SpawnBench, public ::testing::WithParamInterface<FleetCase> {};

TEST_P(CommandLines, EachCopyGetsItsRangeAndEnterStopsThem) {
    const FleetCase& c = GetParam();
    if (c.config) write_config(c.config);
    SpawnBenchRun run(options(c.args));
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(wait_for_records(records_, c.copies.size(), kPatience));
    ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
    EXPECT_EQ(argvs(read_records(records_)), c.copies);

    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.out().find("All VORNCore Stopped!"), std::string::npos);
    // The stand-in may refuse a range (a negative share); the launcher itself
    // has nothing to report.
    EXPECT_EQ(run.err().find("SpawnBench"), std::string::npos) << run.err();
    expect_nothing_survives();
}

INSTANTIATE_TEST_SUITE_P(SpawnBench, CommandLines, ::testing::ValuesIn(kFleetCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpawnBench, EndOfInputStopsTheFleetAtOnce) {
    write_config("[Platform]\ntotal=20\nseedID=E%d\n");
    SpawnBenchRun run(options({"10"}, Input::kNull));
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.err(), "");
    expect_nothing_survives();
}

TEST_F(SpawnBench, FleetEndingOnItsOwnIsNoticed) {
    write_config("[Platform]\ntotal=30\nseedID=F%d\n");
    RunOptions o = options({"10"});
    o.env.push_back("VORNCORE_HOLD_MS=0");
    o.env.push_back("VORNCORE_EXIT=3");  // how copies end does not change ours
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(read_records(records_).size(), 3u);
    std::string out = run.out();
    EXPECT_NE(out.find("Click enter to exit\n"), std::string::npos);
    EXPECT_NE(out.find("All VORNCore Stopped!\n"), std::string::npos);
    expect_nothing_survives();
}

TEST_F(SpawnBench, WithoutTotalNothingStartsWhateverTheOptions) {
    write_config("[Platform]\nseedID=Z\n");
    std::string log = dir_.file("joblog");
    for (const Argv& args : {Argv{}, Argv{"--strict", "--joblog", log, "7"}}) {
        SpawnBenchRun run(options(args));
        EXPECT_EQ(run.wait(kPatience), 0);
        EXPECT_EQ(run.out(), "Click enter to exit\nAll VORNCore Stopped!\n");
        EXPECT_EQ(run.err(), "");
    }
    EXPECT_EQ(testsupport::read_file(log),
              "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n");
    EXPECT_TRUE(read_records(records_).empty());
}

class StopSignals : public SpawnBench, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignals, ActLikeEnterEvenForStubbornCopiesWithChildren) {
    write_config("[Platform]\ntotal=3\nseedID=S%d\n");
    RunOptions o = options({"1"});
    o.env.push_back("VORNCORE_CHILD=1");
    o.env.push_back("VORNCORE_IGNORE_TERM=1");
    SpawnBenchRun run(o);
    ASSERT_TRUE(wait_for_records(records_, 3, kPatience));
    ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (read_child_pids(records_).size() < 3 && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(read_child_pids(records_).size(), 3u);

    run.send_signal(GetParam());
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.out().find("All VORNCore Stopped!"), std::string::npos);
    expect_nothing_survives();
}

INSTANTIATE_TEST_SUITE_P(SpawnBench, StopSignals,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(SpawnBench, KilledOutrightItTakesItsCopiesAlong) {
    write_config("[Platform]\ntotal=40\nseedID=K%d\n");
    RunOptions o = options({"1"});
    o.env.push_back("VORNCORE_HOLD_MS=60000");  // bounded, in case one survives
    SpawnBenchRun run(o);
    // Most likely while it is still starting copies.
    ASSERT_TRUE(wait_for_records(records_, 10, kPatience));
    run.send_signal(SIGKILL);
    EXPECT_EQ(run.wait(kPatience), -1);
    // They come to us, the subreaper, and must end without our help.
    EXPECT_TRUE(reap_orphans(kPatience));
    EXPECT_TRUE(all_gone(recorded_pids()));
}

TEST_F(SpawnBench, ProcessLimitReachedWhileStarting) {
    std::string why;
    RunOptions o = options({"1"});
    if (!as_limited_user(11, &o.shell_prefix, &why)) {
        if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") FAIL() << why;
        GTEST_SKIP() << why;
    }
    // The other user writes the records, reads the configuration and runs
    // the programs, from a folder it can reach whatever the build's lies in.
    chmod(dir_.path().c_str(), 0755);
    chmod(records_.c_str(), 0777);
    o.program = work_ + "/SpawnBench";
    std::filesystem::copy_file(SPAWNBENCH_PATH, o.program);
    std::filesystem::copy_file(VORN_CORETEST_PATH, work_ + "/VORNCoreExTest.exe");
    write_config("[Platform]\ntotal=30\nseedID=P%d\n");
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 0);
    // The first few failures, a count of the rest, and then the key thread
    // finds no slot either, so what did start is stopped at once; last the
    // report's summary.
    std::vector<std::string> lines = lines_of(run.err());
    ASSERT_EQ(lines.size(), 6u) << run.err();
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i] + "\n", kNoSlotLeft);
    EXPECT_EQ(lines[3].rfind("SpawnBench: ", 0), 0u) << lines[3];
    EXPECT_NE(lines[3].find(" more copies could not be started; "), std::string::npos);
    EXPECT_EQ(lines[3].substr(lines[3].size() - 13), " of 30 failed") << lines[3];
    EXPECT_EQ(lines[4],
              "SpawnBench: cannot wait for Enter: Resource temporarily unavailable; stopping the "
              "copies");
    EXPECT_NE(lines[5].find(" of 30 copies failed: "), std::string::npos) << lines[5];
    expect_nothing_survives();
}

TEST_F(SpawnBench, FewDescriptorsAreEnough) {
    // The standard three, the one SpawnBench keeps for its wake-ups, and one
    // to spare: starting a copy takes none of them.
    write_config("[Platform]\ntotal=3\nseedID=D%d\n");
    RunOptions o = options({"1"});
#ifdef VORN_SANITIZED
    // UBSan checks a vptr by writing it to a pipe of its own.
    o.shell_prefix = {"/bin/sh", "-c", "ulimit -n 6 && exec \"$0\" \"$@\""};
#else
    o.shell_prefix = {"/bin/sh", "-c", "ulimit -n 5 && exec \"$0\" \"$@\""};
#endif
    SpawnBenchRun run(o);
    ASSERT_TRUE(wait_for_records(records_, 3, kPatience));
    ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_EQ(run.err(), "");
    expect_nothing_survives();
}

TEST_F(SpawnBench, StoppedCopyIsStoppedWithTheRest) {
    write_config("[Platform]\ntotal=3\nseedID=T%d\n");
    RunOptions o = options({"1"});
    o.env.push_back("VORNCORE_CHILD=1");
    SpawnBenchRun run(o);
    ASSERT_TRUE(wait_for_records(records_, 3, kPatience));
    ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
    // The copy and its child, which shares its group; they stop long before
    // the launcher's next poll notices the key.
    ASSERT_EQ(kill(-read_records(records_)[1].pid, SIGSTOP), 0);
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    expect_nothing_survives();
}

TEST_F(SpawnBench, BurstOfChildrenLeftBehindIsStopped) {
    write_config("[Platform]\ntotal=1\nseedID=B%d\n");
    RunOptions o = options({"1"});
    // The copy starts 300 children and ends, leaving them to the launcher.
    o.env.push_back("VORNCORE_CHILD=300");
    o.env.push_back("VORNCORE_HOLD_MS=0");
    SpawnBenchRun run(o);
    // Forks are slow under ThreadSanitizer.
    EXPECT_EQ(run.wait(4 * kPatience), 0);
    EXPECT_NE(run.out().find("All VORNCore Stopped!\n"), std::string::npos);
    EXPECT_EQ(run.err(), "");
    EXPECT_EQ(read_child_pids(records_).size(), 300u);
    expect_nothing_survives();
}

TEST_F(SpawnBench, MissingProgramIsReported) {
    // A launcher alone in its folder, with nothing on PATH either.
    std::string lonely = work_ + "/SpawnBench";
    std::filesystem::copy_file(SPAWNBENCH_PATH, lonely);
    write_config("[Platform]\ntotal=2\nseedID=M\n");
    std::string log = dir_.file("joblog");
    RunOptions o = options({"1", "--joblog", log});
    o.program = lonely;
    o.env.push_back("PATH=/nonexistent");
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 0);
    const std::string line =
        "SpawnBench: cannot start VORNCoreExTest.exe: No such file or directory\n";
    EXPECT_EQ(run.err(), line + line +
                             "SpawnBench: 2 of 2 copies failed: copy 0 could not be started; copy "
                             "1 could not be started\n");
    EXPECT_EQ(run.out(), "Click enter to exit\nAll VORNCore Stopped!\n");
    EXPECT_EQ(joblog_outcomes(testsupport::read_file(log)),
              (std::vector<Argv>{{"Seq", "Exitval", "Signal", "Command"},
                                 {"1", "127", "0", "VORNCoreExTest.exe M 0 1 0"},
                                 {"2", "127", "0", "VORNCoreExTest.exe M 1 1 1"}}));
}

TEST_F(SpawnBench, FailedCopiesAreNamedLoggedAndCountedByStrict) {
    // Copy 1 exits with 3 and copy 4 crashes on their own; the rest wait.
    write_config("[Platform]\ntotal=5\nseedID=R%d\n");
    std::string log = dir_.file("joblog");
    RunOptions o = options({"1", "--joblog", log, "--strict"});
    o.env.insert(o.env.end(), {"VORNCORE_HOLD_MS_1=0", "VORNCORE_EXIT_1=3", "VORNCORE_HOLD_MS_4=0",
                               "VORNCORE_SIGNAL_4=11"});
    SpawnBenchRun run(o);
    // Each line is in the log as soon as a pass has seen its copy end.
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    auto rows = [&] { return joblog_outcomes(testsupport::read_file(log)); };
    while (rows().size() < 3 && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(rows().size(), 3u);
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 1);
    EXPECT_EQ(run.err(),
              "SpawnBench: 2 of 5 copies failed: copy 1 exited with status 3; copy 4 was killed by "
              "signal 11 (Segmentation fault)\n");
    // The two that ended may have been seen by one pass or by two.
    std::vector<Argv> log_rows = rows();
    ASSERT_EQ(log_rows.size(), 6u);
    std::sort(log_rows.begin() + 1, log_rows.begin() + 3);
    EXPECT_EQ(log_rows, (std::vector<Argv>{{"Seq", "Exitval", "Signal", "Command"},
                                           {"2", "3", "0", "VORNCoreExTest.exe R%d 1 1 1"},
                                           {"5", "0", "11", "VORNCoreExTest.exe R%d 4 1 4"},
                                           {"1", "-1", "9", "VORNCoreExTest.exe R%d 0 1 0"},
                                           {"3", "-1", "9", "VORNCoreExTest.exe R%d 2 1 2"},
                                           {"4", "-1", "9", "VORNCoreExTest.exe R%d 3 1 3"}}));
    expect_nothing_survives();
}

TEST_F(SpawnBench, LiveStatusIsRewrittenOnATerminalAndErased) {
    int tty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(tty, 0);
    ASSERT_TRUE(grantpt(tty) == 0 && unlockpt(tty) == 0);
    std::string terminal = ptsname(tty);
    write_config("[Platform]\ntotal=2\nseedID=L%d\n");
    RunOptions o = options({"1"});
    o.env.push_back("VORNCORE_HOLD_MS=1500");
    // Standard output shares the terminal, as it usually does.
    o.shell_prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + terminal + " 2>&1"};
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 0);
    std::string shown;
    char buf[4096];
    for (ssize_t n; (n = read(tty, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<size_t>(n));
    close(tty);
    EXPECT_NE(shown.find("\r0/2 done \xC2\xB7 2 running \xC2\xB7 0s"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r2/2 done \xC2\xB7 0 running \xC2\xB7 "), std::string::npos) << shown;
    // Blanked out before our own line and at the end: every line here is 25
    // characters long.
    const std::string blank = "\r" + std::string(25, ' ') + "\r";
    EXPECT_NE(shown.find(blank + "All VORNCore Stopped!"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - blank.size()), blank) << shown;
}

TEST_F(SpawnBench, JobLogThatCannotBeOpenedIsAUsageError) {
    std::string log = work_ + "/no/such/folder/joblog";
    SpawnBenchRun run(options({"--joblog", log}));
    EXPECT_EQ(run.wait(kPatience), 2);
    EXPECT_EQ(run.err(),
              "SpawnBench: cannot open job log '" + log + "': No such file or directory\n");
    EXPECT_EQ(run.out(), "");
    EXPECT_TRUE(read_records(records_).empty());
}

class UsageErrors : public SpawnBench, public ::testing::WithParamInterface<const char*> {};

TEST_P(UsageErrors, StartNothingAndExitTwo) {
    SpawnBenchRun run(options({GetParam()}));
    EXPECT_EQ(run.wait(kPatience), 2);
    std::string err = run.err();
    EXPECT_EQ(err.rfind("SpawnBench: ", 0), 0u) << err;
    EXPECT_NE(err.find(std::string("'") + GetParam() + "'"), std::string::npos) << err;
    EXPECT_NE(err.find("1 to 2147483647"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    EXPECT_EQ(run.out(), "");
    EXPECT_TRUE(read_records(records_).empty());
}

INSTANTIATE_TEST_SUITE_P(SpawnBench, UsageErrors, ::testing::ValuesIn(kBadMaximums));

TEST_F(SpawnBench, UsageErrorStaysOnOneLine) {
    SpawnBenchRun run(options({"\nx\ty"}));
    EXPECT_EQ(run.wait(kPatience), 2);
    EXPECT_EQ(run.err(),
              "SpawnBench: invalid maximum '?x?y': expected a number from 1 to 2147483647\n");
}

TEST_F(SpawnBench, HelpAndVersionGoToStandardOutputAndUnknownOptionsAreRefused) {
    for (const char* flag : {"-h", "--help"}) {
        SpawnBenchRun run(options({flag}));
        EXPECT_EQ(run.wait(kPatience), 0);
        EXPECT_EQ(run.out().rfind("usage: SpawnBench [options] [maximum]\n", 0), 0u) << run.out();
        EXPECT_EQ(run.err(), "");
    }
    // Among other options --version acts as --help does: it starts nothing.
    {
        SpawnBenchRun run(options({"200", "--version", "--strict"}));
        EXPECT_EQ(run.wait(kPatience), 0);
        EXPECT_EQ(run.out(), "SpawnBench " VORN_VERSION "\n");
        EXPECT_EQ(run.err(), "");
    }
    SpawnBenchRun run(options({"200", "--no-such-option"}));
    EXPECT_EQ(run.wait(kPatience), 2);
    EXPECT_EQ(run.err(), "SpawnBench: unknown option '--no-such-option' (see SpawnBench --help)\n");
    EXPECT_TRUE(read_records(records_).empty());
}

TEST_F(SpawnBench, SeedIdLongerThanTheTemplateIsRefused) {
    write_config("[Platform]\ntotal=5\nseedID=1234567890123\n");
    SpawnBenchRun run(options({}));
    EXPECT_EQ(run.wait(kPatience), 2);
    EXPECT_EQ(run.err(),
              "SpawnBench: seedID in VORNCoreExTest.ini is 13 characters long; at most 12 fit\n");
    EXPECT_EQ(run.out(), "");
    EXPECT_TRUE(read_records(records_).empty());
}

TEST_F(SpawnBench, HandleArrayThatCannotBeAllocated) {
#ifdef VORN_SANITIZED
    GTEST_SKIP() << "sanitizers need more address space than this test allows";
#endif
    // Over two thousand million copies, with 256 MiB of address space.
    write_config("[Platform]\ntotal=2147483647\n");
    RunOptions o = options({"1"});
    o.shell_prefix = {"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\" \"$@\""};
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 1);
    EXPECT_EQ(run.err(), "SpawnBench: cannot allocate handles for 2147483647 copies\n");
    EXPECT_TRUE(read_records(records_).empty());
}

}  // namespace
