// What the copies start, out of their process groups' reach (a child in a
// session of its own, a double-forked daemon, a fork loop), ends with the
// fleet; with --contain, even when SpawnBench is killed outright.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fleet_folder.h"
#include "spawnbench_run.h"

namespace {

using namespace spawnbench_test;

constexpr milliseconds kPatience{15000};
// Two copies, each with a plain child, a child in its own session and a daemon.
constexpr size_t kStrays = 2 * 4;
const std::vector<std::string> kStrayEnv = {"VORNCORE_CHILD=1", "VORNCORE_SESSION_CHILD=1",
                                            "VORNCORE_DAEMON=1"};

// Processes that inherited `mark` in their environment, but `except`. Pids
// inside a PID namespace mean nothing here; the environment goes everywhere.
std::vector<pid_t> marked(const std::string& mark, pid_t except) {
    std::vector<pid_t> pids;
    const std::string entry = std::string(1, '\0') + mark + '\0';
    for (const auto& dir : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = static_cast<pid_t>(std::atoi(dir.path().filename().c_str()));
        if (pid <= 0 || pid == except) continue;
        std::string env = '\0' + testsupport::read_file(dir.path().string() + "/environ");
        if (env.find(entry) != std::string::npos) pids.push_back(pid);
    }
    return pids;
}

enum class Stop { kEnter, kSigterm, kOnTheirOwn, kKill };
enum class User { kRoot, kNobody };

struct Case {
    Stop stop;
    User user;
    bool contain;
    bool copy;  // --copy 0 instead of a fleet
};

std::string case_name(const Case& c) {
    const char* stop = c.stop == Stop::kEnter     ? "Enter"
                       : c.stop == Stop::kSigterm ? "Sigterm"
                       : c.stop == Stop::kKill    ? "Kill9"
                                                  : "OnTheirOwn";
    return std::string(stop) + (c.user == User::kNobody ? "Nobody" : "Root") +
           (c.contain ? "Contained" : "") + (c.copy ? "Copy" : "");
}

void PrintTo(const Case& c, std::ostream* os) { *os << case_name(c); }

class Descendants : public FleetFolder {
protected:
    RunOptions options(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        testsupport::write_file(work_ + "/VORNCoreExTest.ini", "[Platform]\ntotal=2\nseedID=D%d\n");
        RunOptions o;
        o.program = SPAWNBENCH_PATH;
        o.args = args;
        o.folder = work_;
        o.env = {"VORNCORE_DELAY_MS=0", "VORNCORE_HOLD_MS=-1", mark_};
        o.env.insert(o.env.end(), env.begin(), env.end());
        return o;
    }

    // Another user may not reach the build folder: the programs go beside
    // the configuration, in a folder anyone can read.
    bool as_nobody(RunOptions* o, std::string* why) {
        if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
            *why = "needs root and setpriv to run SpawnBench as nobody";
            return false;
        }
        chmod(dir_.path().c_str(), 0755);
        chmod(work_.c_str(), 0755);
        o->program = work_ + "/SpawnBench";
        std::filesystem::copy_file(SPAWNBENCH_PATH, o->program);
        std::filesystem::copy_file(VORN_CORETEST_PATH, work_ + "/VORNCoreExTest.exe");
        o->shell_prefix = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                           "--clear-groups", "--"};
        return true;
    }

    bool wait_for_marked(const SpawnBenchRun& run, size_t count) const {
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (marked(mark_, run.pid()).size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    }

    // Waits `patience` for the marked processes to go, reaps what came to
    // us, and kills whatever is left so that later tests start clean.
    void expect_none_marked(milliseconds patience) {
        auto deadline = std::chrono::steady_clock::now() + patience;
        std::vector<pid_t> left;
        while (!(left = marked(mark_, 0)).empty() && std::chrono::steady_clock::now() < deadline) {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        EXPECT_TRUE(left.empty()) << left.size() << " processes survived";
        for (pid_t pid : left) kill(pid, SIGKILL);
        std::this_thread::sleep_for(milliseconds(50));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    const std::string mark_ =
        "VORN_TEST_MARK=" + std::to_string(getpid()) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
};

class Stops : public Descendants, public ::testing::WithParamInterface<Case> {};

TEST_P(Stops, LeaveNothingRunning) {
    const Case& c = GetParam();
    std::vector<std::string> args =
        c.copy ? std::vector<std::string>{"--copy", "0", "1"} : std::vector<std::string>{"1"};
    if (c.contain) args.insert(args.begin(), "--contain");
    std::vector<std::string> env = kStrayEnv;
    if (c.stop == Stop::kOnTheirOwn) env.push_back("VORNCORE_HOLD_MS=0");
    RunOptions o = options(args, env);
    std::string why;
    if (c.user == User::kNobody && !as_nobody(&o, &why)) GTEST_SKIP() << why;

    SpawnBenchRun run(o);
    ASSERT_TRUE(run.started());
    // Each copy and its three.
    if (c.stop != Stop::kOnTheirOwn) {
        ASSERT_TRUE(wait_for_marked(run, c.copy ? kStrays / 2 : kStrays));
    }
    if (c.stop == Stop::kEnter) run.press_enter();
    if (c.stop == Stop::kSigterm) run.send_signal(SIGTERM);
    if (c.stop == Stop::kKill) run.send_signal(SIGKILL);
    int status = run.wait(kPatience);
    if (c.stop == Stop::kKill) {
        expect_none_marked(kPatience);
        return;
    }
    EXPECT_EQ(status, c.copy ? 128 + SIGTERM : 0) << run.err();
    EXPECT_EQ(run.err(), "");
    // Nothing may be left for even a moment after a normal stop.
    expect_none_marked(milliseconds(0));
}

INSTANTIATE_TEST_SUITE_P(SpawnBench, Stops,
                         ::testing::Values(Case{Stop::kEnter, User::kRoot, false, false},
                                           Case{Stop::kSigterm, User::kNobody, false, false},
                                           Case{Stop::kOnTheirOwn, User::kRoot, false, false},
                                           Case{Stop::kEnter, User::kNobody, true, false},
                                           Case{Stop::kSigterm, User::kRoot, true, false},
                                           Case{Stop::kSigterm, User::kNobody, false, true},
                                           Case{Stop::kKill, User::kRoot, true, false},
                                           Case{Stop::kKill, User::kNobody, true, false},
                                           Case{Stop::kKill, User::kRoot, true, true}),
                         [](const auto& info) { return case_name(info.param); });

// Each link of the chain forks the next and ends, so its pid keeps changing.
TEST_F(Descendants, ForkLoopDoesNotHoldTheStop) {
    RunOptions o = options({"1"}, {"VORNCORE_FORK_LOOP=1", "VORNCORE_FORK_LOOP_1=0"});
    SpawnBenchRun run(o);
    ASSERT_TRUE(wait_for_marked(run, 2));
    ASSERT_TRUE(run.wait_for_output("Click enter to exit\n", kPatience));
    auto begin = std::chrono::steady_clock::now();
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, milliseconds(6000));
    // Given up on, it would still be running; caught, nothing is.
    expect_none_marked(milliseconds(0));
}

}  // namespace
