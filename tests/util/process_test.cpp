#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"
#include "vorn_util.h"

namespace {

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

bool proc_exists(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

bool no_children_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

bool wait_until(const std::function<bool()>& done, int timeout_ms = 5000) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= timeout_ms) return false;
        util_sleep_ms(10);
    }
    return true;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
        lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
}

// Field of /proc/<pid>/status, e.g. "SigBlk".
std::string status_field(pid_t pid, const std::string& name) {
    for (const std::string& line :
         lines_of(read_file("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 2);
    }
    return "";
}

class StderrCapture {
public:
    StderrCapture() : saved_(dup(2)) {
        fflush(stderr);
        FILE* f = fopen(dir_.file("err").c_str(), "w");
        dup2(fileno(f), 2);
        fclose(f);
    }
    std::string finish() {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        return read_file(dir_.file("err"));
    }

private:
    TempDir dir_;
    int saved_;
};

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORNCORE_RECORD_DIR", dir.path().c_str(), 1);
        setenv("VORNCORE_DELAY_MS", "0", 1);
    }
    void TearDown() override {
        for (const char* name : {"VORNCORE_RECORD_DIR", "VORNCORE_DELAY_MS", "VORNCORE_HOLD_MS",
                                 "VORNCORE_CHILD", "VORNCORE_IGNORE_TERM", "VORNCORE_EXIT"}) {
            unsetenv(name);
        }
        EXPECT_TRUE(no_children_left());
    }
    // The argv a started stand-in recorded, without the leading pid line.
    std::vector<std::string> recorded_args(pid_t pid) {
        std::string path = dir.file(std::to_string(pid) + ".args");
        EXPECT_TRUE(wait_until([&] { return util_is_file_exist(path.c_str()); }));
        std::vector<std::string> lines = lines_of(read_file(path));
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {
            EXPECT_EQ(lines[0], std::to_string(pid));
            lines.erase(lines.begin());
        }
        return lines;
    }
    TempDir dir;
};

TEST(FileExist, OnlyFilesCount) {
    TempDir dir;
    write_file(dir.file("f"), "x");
    EXPECT_TRUE(util_is_file_exist(dir.file("f").c_str()));
    EXPECT_FALSE(util_is_file_exist(dir.path().c_str()));
    EXPECT_FALSE(util_is_file_exist(dir.file("missing").c_str()));
    EXPECT_FALSE(util_is_file_exist(""));
    EXPECT_FALSE(util_is_file_exist(nullptr));
}

TEST_F(ProcessTest, SplitsAtEverySingleBlank) {
    const std::string name = "VORNCoreExTest.exe";  // found beside this test program
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {name + " 02C4E67%05d 0 10 0", {name, "02C4E67%05d", "0", "10", "0"}},
        {name + "  0 10 0", {name, "", "0", "10", "0"}},
        {name + " a  b ", {name, "a", "", "b", ""}},
        {name, {name}},
        {VORN_CORETEST_PATH " x", {VORN_CORETEST_PATH, "x"}},
    };
    for (const auto& [line, expected] : cases) {
        util_process_handle h = util_process_cmd_launch_no_wait(line.c_str());
        ASSERT_GT(h, 0) << line;
        EXPECT_EQ(recorded_args(h), expected) << line;
        EXPECT_EQ(util_process_kill_handle(h), 0);
    }
}

TEST_F(ProcessTest, LooksInOwnFolderThenCurrentFolderThenPath) {
    std::string cwd = dir.file("cwd"), path = dir.file("path");
    std::filesystem::create_directories(cwd);
    std::filesystem::create_directories(path);
    for (const std::string& folder : {cwd, path}) {
        for (const char* name : {"VORNCoreExTest.exe", "vorn-probe"}) {
            std::string script = folder + "/" + std::string(name);
            write_file(script, "#!/bin/sh\necho > \"" + folder + ".ran\"\n");
            chmod(script.c_str(), 0755);
        }
    }
    std::string old_cwd = std::filesystem::current_path().string();
    const char* old_path = getenv("PATH");
    std::string saved_path = old_path != nullptr ? old_path : "";
    std::filesystem::current_path(cwd);
    setenv("PATH", ("/nonexistent::" + path).c_str(), 1);

    auto run = [&](const char* line) {
        util_process_handle h = util_process_cmd_launch_no_wait(line);
        EXPECT_GT(h, 0) << line;
        EXPECT_TRUE(wait_until([&] { return !util_is_process_running(h); }));
        EXPECT_EQ(util_process_kill_handle(h), 0);
        return h;
    };
    util_process_handle own = run("VORNCoreExTest.exe");
    EXPECT_TRUE(util_is_file_exist(dir.file(std::to_string(own) + ".args").c_str()));
    EXPECT_FALSE(util_is_file_exist((cwd + ".ran").c_str()));
    run("vorn-probe");
    EXPECT_TRUE(util_is_file_exist((cwd + ".ran").c_str()));
    EXPECT_FALSE(util_is_file_exist((path + ".ran").c_str()));
    chmod((cwd + "/vorn-probe").c_str(), 0644);  // not executable: passed over
    run("vorn-probe");
    EXPECT_TRUE(util_is_file_exist((path + ".ran").c_str()));

    std::filesystem::current_path(old_cwd);
    setenv("PATH", saved_path.c_str(), 1);
}

TEST_F(ProcessTest, FailedStartIsReportedAndNeverTouched) {
    TempDir files;
    write_file(files.file("plain"), "not a program");
    const std::string prog = program_invocation_short_name;
    const std::string too_long(5000, 'x');
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"VORNCoreExTest-missing.exe a b", "VORNCoreExTest-missing.exe: No such file or directory"},
        {" VORNCoreExTest.exe", ": No such file or directory"},
        {"/nonexistent/prog", "/nonexistent/prog: No such file or directory"},
        {nullptr, "(null): Invalid argument"},
        {too_long.c_str(), too_long.substr(0, 64) + ": Argument list too long"},
    };
    for (const auto& [line, reason] : cases) {
        StderrCapture capture;
        util_process_handle h = util_process_cmd_launch_no_wait(line);
        EXPECT_EQ(capture.finish(), prog + ": cannot start " + reason + "\n");
        EXPECT_EQ(h, UTIL_NO_PROCESS);
    }
    StderrCapture capture;
    EXPECT_EQ(util_process_cmd_launch_no_wait(files.file("plain").c_str()), UTIL_NO_PROCESS);
    EXPECT_NE(capture.finish().find(": Permission denied\n"), std::string::npos);

    EXPECT_FALSE(util_is_process_running(UTIL_NO_PROCESS));
    EXPECT_EQ(util_process_kill_handle(UTIL_NO_PROCESS), 0);
    // Never ours: left alone rather than signalled.
    EXPECT_FALSE(util_is_process_running(getpid()));
    EXPECT_EQ(util_process_kill_handle(-1), -ESRCH);
    EXPECT_EQ(util_process_kill_handle(getppid()), -ESRCH);
}

TEST_F(ProcessTest, StartsDetachedFromOurTerminalAndSignals) {
    setenv("VORNCORE_HOLD_MS", "-1", 1);
    struct sigaction ignore {
    }, old_action{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_action);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);

    util_process_handle h = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 0 0");
    sigaction(SIGINT, &old_action, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ASSERT_GT(h, 0);
    recorded_args(h);
    EXPECT_TRUE(util_is_process_running(h));
    EXPECT_EQ(getpgid(h), h);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(h) + "/fd/0"), "/dev/null");
    auto has = [&](const char* field, int sig) {
        return (std::stoull(status_field(h, field), nullptr, 16) >> (sig - 1)) & 1;
    };
    EXPECT_FALSE(has("SigIgn", SIGINT));
    EXPECT_FALSE(has("SigBlk", SIGTERM));

    EXPECT_EQ(util_process_kill_handle(h), 0);
    EXPECT_FALSE(util_is_process_running(h));
    EXPECT_FALSE(proc_exists(h));
    EXPECT_EQ(util_process_kill_handle(h), -ESRCH);
}

TEST_F(ProcessTest, EndedCopyStaysReservedUntilStoppedAndTellsHowItEnded) {
    setenv("VORNCORE_EXIT", "3", 1);
    util_process_handle h = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 3 0");
    ASSERT_GT(h, 0);
    ASSERT_TRUE(wait_until([&] { return !util_is_process_running(h); }));
    util_process_end end{};
    for (int asked = 0; asked < 2; ++asked) {  // asking does not reap
        ASSERT_EQ(util_process_end_state(h, &end), 1);
        EXPECT_EQ(end.kind, UTIL_END_EXITED);
        EXPECT_EQ(end.code, 3u);
    }
    EXPECT_EQ(status_field(h, "State").substr(0, 1), "Z");
    EXPECT_EQ(util_process_kill_handle(h), 0);
    EXPECT_FALSE(proc_exists(h));
    EXPECT_LT(util_process_end_state(h, &end), 0);
    EXPECT_LT(util_process_end_state(UTIL_NO_PROCESS, &end), 0);

    setenv("VORNCORE_HOLD_MS", "-1", 1);
    h = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 3 0");
    ASSERT_GT(h, 0);
    EXPECT_EQ(util_process_end_state(h, &end), 0);
    kill(h, SIGUSR1);
    ASSERT_TRUE(wait_until([&] { return util_process_end_state(h, &end) == 1; }));
    EXPECT_EQ(end.kind, UTIL_END_SIGNALED);
    EXPECT_EQ(end.code, static_cast<uint32_t>(SIGUSR1));
    EXPECT_EQ(util_process_kill_handle(h), 0);
}

// Its own child is killed and reaped too, whether the copy is still running
// when stopped or has ended and left the child to us.
class GroupTest : public ProcessTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(GroupTest, WholeGroupIsKilledAndReaped) {
    setenv("VORNCORE_HOLD_MS", GetParam(), 1);
    setenv("VORNCORE_CHILD", "1", 1);
    setenv("VORNCORE_IGNORE_TERM", "1", 1);
    util_process_handle h = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 1 0");
    ASSERT_GT(h, 0);
    std::string record = dir.file(std::to_string(h) + ".child");
    ASSERT_TRUE(wait_until([&] { return util_is_file_exist(record.c_str()); }));
    pid_t child = std::stoi(read_file(record));
    if (std::string(GetParam()) == "0") {
        ASSERT_TRUE(wait_until([&] { return !util_is_process_running(h); }));
    }
    EXPECT_TRUE(proc_exists(child));
    EXPECT_EQ(util_process_kill_handle(h), 0);
    EXPECT_FALSE(proc_exists(child));
    EXPECT_FALSE(proc_exists(h));
}

INSTANTIATE_TEST_SUITE_P(Copy, GroupTest, ::testing::Values("-1", "0"), [](const auto& info) {
    return std::string(info.param) == "0" ? "Ended" : "Running";
});

TEST_F(ProcessTest, CopyThatLeftItsGroupIsStillStopped) {
    // It joins our own group, so killing its group reaches nothing.
    util_process_handle h =
        util_process_cmd_launch_no_wait("perl -e setpgrp(0,getpgrp(getppid()));sleep(100)");
    ASSERT_GT(h, 0);
    ASSERT_TRUE(wait_until([&] { return getpgid(h) == getpgrp(); }));
    EXPECT_EQ(util_process_kill_handle(h), 0);
    EXPECT_FALSE(proc_exists(h));
}

TEST_F(ProcessTest, InheritedIgnoredChildSignalIsUndone) {
    // With SIGCHLD ignored the kernel would reap ended copies behind our back.
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &saved);
    util_process_handle h = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 1 0");
    ASSERT_GT(h, 0);
    ASSERT_TRUE(wait_until([&] { return !util_is_process_running(h); }));
    EXPECT_EQ(status_field(h, "State").substr(0, 1), "Z");
    EXPECT_EQ(util_process_kill_handle(h), 0);
    sigaction(SIGCHLD, &saved, nullptr);
}

// The launcher polls from one thread while others may start or stop copies.
TEST_F(ProcessTest, CopiesAreStartedPolledAndStoppedFromManyThreads) {
    setenv("VORNCORE_HOLD_MS", "-1", 1);
    // Each thread also polls handles that others fill in.
    std::vector<std::atomic<util_process_handle>> handles(16);
    // A copy dies with the thread that started it: the starters stay until
    // every copy has been stopped.
    std::atomic<int> started{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::thread> starters, stoppers;
    for (size_t t = 0; t < 4; ++t) {
        starters.emplace_back([&, t] {
            for (size_t i = t; i < handles.size(); i += 4) {
                handles[i] = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 0 0");
                util_is_process_running(handles[(i + 5) % handles.size()]);
            }
            ++started;
            released.wait();
        });
    }
    EXPECT_TRUE(wait_until([&] { return started == 4; }));
    for (const auto& h : handles) EXPECT_TRUE(util_is_process_running(h));
    for (size_t t = 0; t < 4; ++t) {
        stoppers.emplace_back([&handles, t] {
            // Each handle is stopped twice, from two threads; only one may reap it.
            for (size_t i = 0; i < handles.size(); ++i) {
                if (i % 2 == t % 2) util_process_kill_handle(handles[i]);
            }
        });
    }
    for (std::thread& t : stoppers) t.join();
    release.set_value();
    for (std::thread& t : starters) t.join();
    for (util_process_handle h : handles) {
        EXPECT_GT(h, 0);
        EXPECT_FALSE(proc_exists(h));
    }
}

// As it would with a launcher killed outright.
TEST_F(ProcessTest, CopyDiesWithTheThreadThatStartedIt) {
    setenv("VORNCORE_HOLD_MS", "-1", 1);
    util_process_handle h = UTIL_NO_PROCESS;
    std::thread([&h] { h = util_process_cmd_launch_no_wait("VORNCoreExTest.exe x 0 0 0"); }).join();
    ASSERT_GT(h, 0);
    EXPECT_TRUE(wait_until([&] { return !util_is_process_running(h); }));
    EXPECT_EQ(util_process_kill_handle(h), 0);
}

void on_alarm(int) {}

TEST(Sleep, ResumesAfterSignals) {
    struct sigaction action {
    }, old_action{};
    action.sa_handler = on_alarm;  // no SA_RESTART: nanosleep is interrupted
    sigaction(SIGALRM, &action, &old_action);
    struct itimerval every_10ms {
        {0, 10000}, { 0, 10000 }
    }, off{};
    setitimer(ITIMER_REAL, &every_10ms, nullptr);
    auto begin = std::chrono::steady_clock::now();
    util_sleep_ms(150);
    auto elapsed = std::chrono::steady_clock::now() - begin;
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old_action, nullptr);
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
}

}  // namespace
