// What the copies start, out of their process groups' reach (a child in a
// session of its own, a double-forked daemon, a fork loop), ends with the
// fleet; with --contain, even when SpawnBench is killed outright.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

// CI has what these tests need; a machine without it skips them.
bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
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
        while (marked_processes(mark_, run.pid()).size() < count) {
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
        while (!(left = marked_processes(mark_, 0)).empty() &&
               std::chrono::steady_clock::now() < deadline) {
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

    const std::string mark_ = new_mark();
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
    if (c.user == User::kNobody && !as_nobody(&o, &why)) {
        if (in_ci()) FAIL() << why;
        GTEST_SKIP() << why;
    }

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

// A contained copy's second try runs in the namespace of its first, which
// lost only what the first try started.
TEST_F(Descendants, ContainedCopyKeepsItsNamespaceForEveryTry) {
    std::vector<std::string> env = kStrayEnv;
    env.insert(env.end(), {"VORNCORE_FAIL_TRIES=1", "VORNCORE_RECORD_DIR=" + records_});
    SpawnBenchRun run(options({"--contain", "--copy", "0", "--retries", "1", "1"}, env));
    // The second try's copy and its three, and the keeper.
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (testsupport::read_file(records_ + "/tries-0") != "2\n" ||
           marked_processes(mark_, run.pid()).size() < 4) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << run.err();
        std::this_thread::sleep_for(milliseconds(10));
    }
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(marked_processes(mark_, run.pid()).size(), 5u);
    run.send_signal(SIGKILL);
    run.wait(kPatience);
    expect_none_marked(kPatience);
}

class Forbidden : public Descendants, public ::testing::WithParamInterface<User> {};

// Where no namespace can be made (here a seccomp filter, as in a container),
// --contain says why in one line and the fleet runs and stops as without it.
TEST_P(Forbidden, ContainSaysWhyOnceAndRunsWithout) {
    RunOptions o = options({"--contain", "1"}, kStrayEnv);
    std::string why;
    if (GetParam() == User::kNobody && !as_nobody(&o, &why)) {
        if (in_ci()) FAIL() << why;
        GTEST_SKIP() << why;
    }
    // The filter first: setpriv needs no namespace.
    o.shell_prefix.insert(o.shell_prefix.begin(), NO_NAMESPACES_PATH);
    SpawnBenchRun run(o);
    ASSERT_TRUE(wait_for_marked(run, kStrays));
    run.press_enter();
    EXPECT_EQ(run.wait(kPatience), 0);
    const std::string head = "SpawnBench: cannot contain the fleet in a PID namespace: ";
    const std::string tail = "; running without one\n";
    const std::string err = run.err();
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    ASSERT_GT(err.size(), head.size() + tail.size()) << err;
    EXPECT_EQ(err.substr(0, head.size()), head);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    // Only root's namespace can be refused by nothing but the filter; another
    // user's may also be refused by the kernel's settings first.
    if (GetParam() == User::kRoot) {
        EXPECT_EQ(err, head + "a seccomp filter forbids namespaces (EPERM)" + tail);
    } else {
        EXPECT_NE(err.find("EPERM"), std::string::npos) << err;
    }
    EXPECT_NE(run.out().find("Click enter to exit\n"), std::string::npos);
    expect_none_marked(milliseconds(0));
}

void PrintTo(User u, std::ostream* os) { *os << (u == User::kRoot ? "Root" : "Nobody"); }

INSTANTIATE_TEST_SUITE_P(SpawnBench, Forbidden, ::testing::Values(User::kRoot, User::kNobody),
                         [](const auto& info) {
                             return info.param == User::kRoot ? "Root" : "Nobody";
                         });

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
