// The stop flag crosses threads: the key thread or a signal handler sets it
// while the main thread polls the copies. Meant to run under ThreadSanitizer
// too. The flag is never cleared, so each case needs a process of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "supervise.h"
#include "vorn_util.h"

namespace {

constexpr int32_t kCopies = 8;
constexpr uint32_t kShortPoll = 2;  // many passes before the stop arrives

class StopFlag : public ::testing::Test {
protected:
    void SetUp() override {
        if (supervise_stop_requested()) {
            GTEST_SKIP() << "the stop flag is already set: run each case alone (ctest does)";
        }
        // Standard input becomes a pipe that the test writes the key into. The
        // copies must not inherit its write end, or closing ours ends nothing.
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
        close(fds[0]);
        key_fd_ = fds[1];

        setenv("VORNCORE_DELAY_MS", "0", 1);
        // Long enough to outlast any run, bounded so that copies orphaned by a
        // test that died (a sanitizer report halts it) do not stay for ever.
        setenv("VORNCORE_HOLD_MS", "60000", 1);
        for (int32_t i = 0; i < kCopies; ++i) {
            std::string line = std::string(VORN_CORETEST_PATH) + " T%d " + std::to_string(i) +
                               " 1 " + std::to_string(i);
            handles_.push_back(util_process_cmd_launch_no_wait(line.c_str()));
            ASSERT_NE(handles_.back(), UTIL_NO_PROCESS);
        }
    }

    void TearDown() override {
        for (util_process_handle h : handles_) util_process_kill_handle(h);
        if (key_fd_ != -1) close(key_fd_);
    }

    // Supervises the copies while `stop` runs on a thread of its own, and
    // returns what supervise printed.
    template <typename Stop>
    std::string supervise_while(Stop stop) {
        testing::internal::CaptureStdout();
        std::thread stopper([&] {
            // Let the main thread make a few passes first.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            stop();
        });
        supervise(handles_.data(), kCopies, kShortPoll);
        stopper.join();
        return testing::internal::GetCapturedStdout();
    }

    void expect_fleet_stopped(const std::string& out) {
        EXPECT_TRUE(supervise_stop_requested());
        // Stopped by the request, not because the copies had ended.
        EXPECT_EQ(out, "Click enter to exit\n");
        for (util_process_handle h : handles_) EXPECT_FALSE(util_is_process_running(h));
    }

    int key_fd_ = -1;
    std::vector<util_process_handle> handles_;
};

TEST_F(StopFlag, KeyThreadStopsThePollingMainThread) {
    std::string out = supervise_while([this] { ASSERT_EQ(write(key_fd_, "\n", 1), 1); });
    expect_fleet_stopped(out);
}

TEST_F(StopFlag, EndOfInputStopsThePollingMainThread) {
    std::string out = supervise_while([this] {
        close(key_fd_);
        key_fd_ = -1;
    });
    expect_fleet_stopped(out);
}

TEST_F(StopFlag, SignalStopsThePollingMainThreadWhileTheKeyThreadWaits) {
    supervise_install_signal_handlers();
    std::string out = supervise_while([] { kill(getpid(), SIGTERM); });
    expect_fleet_stopped(out);
}

}  // namespace
