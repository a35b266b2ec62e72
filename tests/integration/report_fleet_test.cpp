// The report as it follows real copies of the stand-in, driven step by step:
// a copy that exits with 3, one that crashes, one that cannot be started, one
// that ends by itself just before the stop and one that is stopped.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "joblog.h"
#include "report.h"
#include "temp_dir.h"

namespace {

using testsupport::joblog_outcomes;
using testsupport::Row;

bool wait_until_ended(util_process_handle h) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    util_process_end end;
    while (util_process_end_state(h, &end) != 1) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(FleetReport, FollowsCopiesFromTheirStartToTheFinalStop) {
    testsupport::TempDir dir;
    std::string log_path = dir.file("joblog");
    FleetReport report;
    std::string error;
    ASSERT_TRUE(report.open_joblog(log_path.c_str(), false, &error)) << error;
    ASSERT_TRUE(report.track(5));

    // The last one ends on its own after the pass, just before the stop. The
    // hold of the others is bounded, in case the test dies.
    const char* knobs[][2] = {{"VORNCORE_DELAY_MS", "0"},   {"VORNCORE_HOLD_MS", "60000"},
                              {"VORNCORE_HOLD_MS_1", "0"},  {"VORNCORE_EXIT_1", "3"},
                              {"VORNCORE_HOLD_MS_3", "0"},  {"VORNCORE_SIGNAL_3", "11"},
                              {"VORNCORE_HOLD_MS_4", "300"}};
    for (auto& knob : knobs) setenv(knob[0], knob[1], 1);
    std::vector<std::string> commands;
    std::vector<util_process_handle> handles;
    for (int i = 0; i < 5; ++i) {
        std::string program = i == 2 ? "no-such-program" : VORN_CORETEST_PATH;
        commands.push_back(program + " T 0 1 " + std::to_string(i));
        testing::internal::CaptureStderr();
        handles.push_back(util_process_cmd_launch_no_wait(commands.back().c_str()));
        testing::internal::GetCapturedStderr();
        report.copy_started(i, commands.back().c_str(), handles.back());
    }
    // The fleet tests run SpawnBench with this process's environment.
    for (auto& knob : knobs) unsetenv(knob[0]);
    ASSERT_EQ(handles[2], UTIL_NO_PROCESS);
    ASSERT_TRUE(wait_until_ended(handles[1]) && wait_until_ended(handles[3]));
    for (int i : {1, 3}) {
        util_process_end end{};
        ASSERT_EQ(util_process_end_state(handles[i], &end), 1);
        report.copy_ended(i, end);
    }
    report.pass_done();
    EXPECT_EQ(joblog_outcomes(testsupport::read_file(log_path)).size(), 4u);
    ASSERT_TRUE(wait_until_ended(handles[4]));

    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) {
        report.stopping(i);
        util_process_kill_handle(handles[i]);
    }
    report.fleet_stopped();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SpawnBench: 3 of 5 copies failed: copy 1 exited with status 3; copy 2 could not be "
              "started; copy 3 was killed by signal 11 (Segmentation fault)\n");

    // Copy 4 ended by itself just before the stop and keeps its own status.
    EXPECT_EQ(joblog_outcomes(testsupport::read_file(log_path)),
              (std::vector<Row>{{"Seq", "Exitval", "Signal", "Command"},
                                {"3", "127", "0", commands[2]},
                                {"2", "3", "0", commands[1]},
                                {"4", "0", "11", commands[3]},
                                {"5", "0", "0", commands[4]},
                                {"1", "-1", "9", commands[0]}}));
}

}  // namespace
