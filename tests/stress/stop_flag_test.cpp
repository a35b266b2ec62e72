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

#include "report.h"
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
        // The stand-in is found beside this program, as beside SpawnBench.
        job_.plan = fleet_plan(kCopies, 1);
        job_.tmpl = "T%d";
        for (int32_t i = 0; i < kCopies; ++i) job_.copies.push_back(i);
        job_.poll_ms = kShortPoll;
        ASSERT_TRUE(report_.track(job_.copies));
    }

    void TearDown() override {
        if (key_fd_ != -1) close(key_fd_);
    }

    // Supervises the copies while `stop` runs on a thread of its own, and
    // returns what supervise printed.
    template <typename Stop>
    std::string supervise_while(Stop stop) {
        testing::internal::CaptureStdout();
        std::thread stopper([&] {
            // Let the main thread make a few passes first.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop();
        });
        EXPECT_EQ(supervise(job_, &report_), 0);
        stopper.join();
        return testing::internal::GetCapturedStdout();
    }

    void expect_fleet_stopped(const std::string& out) {
        EXPECT_TRUE(supervise_stop_requested());
        // Stopped by the request, not because the copies had ended (which
        // share our standard output).
        EXPECT_NE(out.find("Click enter to exit\n"), std::string::npos);
        EXPECT_EQ(out.find("All VORNCore Stopped!"), std::string::npos);
        for (int32_t i = 0; i < kCopies; ++i) {
            EXPECT_EQ(report_.record(i).tries.back().outcome, TryOutcome::kStopped);
            EXPECT_FALSE(util_is_process_running(report_.handle(i)));
        }
    }

    int key_fd_ = -1;
    FleetJob job_;
    FleetReport report_;
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
