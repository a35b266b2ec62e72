// The texts of the report on a fleet. How it follows real copies is tested
// with the fleet (tests/integration).
#include "report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CopyRecord ended(util_end_kind kind, uint32_t code) {
    CopyRecord c;
    c.state = CopyState::kEnded;
    c.end = {kind, code};
    return c;
}

TEST(Report, TextsNameTheFailuresAndFollowTheJobLogColumns) {
    std::vector<CopyRecord> fleet(9);
    fleet[0].state = CopyState::kRunning;
    fleet[1] = ended(UTIL_END_EXITED, 3);
    fleet[2].state = CopyState::kStartFailed;
    fleet[3] = ended(UTIL_END_EXITED, 0);
    for (int i = 4; i < 8; ++i) fleet[i] = ended(UTIL_END_EXITED, 1);
    fleet[8] = ended(UTIL_END_SIGNALED, 11);
    EXPECT_EQ(status_line(fleet.data(), 9, 3723000),
              "SpawnBench: 1 running, 7 ended (6 failed), 1 never started of 9 | 1:02:03");
    EXPECT_EQ(status_line(fleet.data(), 1, 12999), "SpawnBench: 1 running, 0 ended of 1 | 0:12");
    // Named in full by the fleet tests; cut after the first five.
    EXPECT_NE(failure_summary(fleet.data(), 9).find("; copy 6 exited with status 1; and 2 more"),
              std::string::npos);
    EXPECT_EQ(failure_summary(fleet.data(), 1), "");

    fleet[8].start_epoch_ms = 1700000000042;
    fleet[8].runtime_ms = 1500;
    fleet[8].command = "VORNCoreExTest.exe A\tB 8 1 8";
    EXPECT_EQ(joblog_line(8, fleet[8]),
              "9\t:\t1700000000.042\t     1.500\t0\t0\t0\t11\tVORNCoreExTest.exe A?B 8 1 8\n");
}

}  // namespace
