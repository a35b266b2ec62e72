// The campaign's decisions, step by step, without starting anything.
#include "schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Slots = std::vector<int32_t>;

TEST(Schedule, JobsLimitStartsInCopyOrderAndRefillsFreedSlots) {
    CampaignLimits limits;
    limits.jobs = 3;
    Schedule s({0, 1, 2, 3, 4}, limits);
    ScheduleStep step = s.next(0);
    EXPECT_EQ(step.start, (Slots{0, 1, 2}));
    for (int32_t slot : step.start) s.started(slot, 0);
    EXPECT_TRUE(s.next(5).start.empty());
    s.ended(1, TryEnd::kPassed);
    EXPECT_EQ(s.next(10).start, (Slots{3}));
    s.started(3, 10);
    // A stop leaves the waiting one untried and the running ones to stop.
    s.stop();
    EXPECT_TRUE(s.next(20).start.empty());
    EXPECT_EQ(s.slots()[4].state, SlotState::kNotTried);
    for (int32_t slot : {0, 2, 3}) s.stopped(slot);
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(s.slots()[0].state, SlotState::kStopped);
}

TEST(Schedule, TimeoutsAndRetries) {
    CampaignLimits limits;
    limits.jobs = 1;
    limits.timeout_ms = 100;
    limits.retries = 1;
    Schedule s({7, 8}, limits);
    s.started(0, 0);
    EXPECT_EQ(s.next_deadline(), 100);
    EXPECT_TRUE(s.next(99).time_out.empty());
    // Past its deadline it is stopped, and its place goes to the next copy in
    // the same step.
    ScheduleStep step = s.next(100);
    EXPECT_EQ(step.time_out, (Slots{0}));
    EXPECT_EQ(step.start, (Slots{1}));
    EXPECT_TRUE(s.ended(0, TryEnd::kTimedOut));  // one more try
    s.started(1, 100);
    EXPECT_FALSE(s.ended(1, TryEnd::kPassed));
    // The second try of copy 7 fails too: no try is left.
    EXPECT_EQ(s.next(110).start, (Slots{0}));
    s.started(0, 110);
    EXPECT_EQ(s.slots()[0].tries, 2);
    EXPECT_FALSE(s.ended(0, TryEnd::kFailed));
    EXPECT_EQ(s.slots()[0].state, SlotState::kFailed);
    EXPECT_TRUE(s.finished());
    // A copy waiting for another try when the fleet stops failed its last one.
    Schedule t({0}, limits);
    t.started(0, 0);
    t.ended(0, TryEnd::kStartFailed);
    t.stop();
    EXPECT_EQ(t.slots()[0].state, SlotState::kFailed);
}

TEST(Schedule, RetriedSlotBehindLaterStartsIsStartedFirst) {
    CampaignLimits limits;
    limits.jobs = 2;
    limits.retries = 1;
    Schedule s({0, 1, 2, 3}, limits);
    for (int32_t slot : s.next(0).start) s.started(slot, 0);
    s.started(1, 0);  // not waiting: ignored
    EXPECT_EQ(s.running_slots().size(), 2u);
    EXPECT_TRUE(s.ended(0, TryEnd::kFailed));
    EXPECT_FALSE(s.ended(1, TryEnd::kPassed));
    EXPECT_TRUE(s.running_slots().empty());
    EXPECT_EQ(s.next(1).start, (Slots{0, 2}));
    for (int32_t slot : {0, 2}) s.started(slot, 1);
    s.ended(0, TryEnd::kPassed);
    EXPECT_EQ(s.running_slots(), (Slots{2}));
    EXPECT_EQ(s.next(2).start, (Slots{3}));
}

TEST(Schedule, CopyListsAndTimeouts) {
    std::vector<int32_t> copies;
    std::string error;
    ASSERT_TRUE(parse_copy_list("7-9,3,8", 10, &copies, &error)) << error;
    EXPECT_EQ(copies, (Slots{3, 7, 8, 9}));
    EXPECT_EQ(format_copy_list(copies), "3,7-9");
    for (const char* bad : {"5-3", "99", "", "1,,2", "a", "-1", "1-", "3 ", "99999999999"}) {
        EXPECT_FALSE(parse_copy_list(bad, 5, &copies, &error)) << bad;
    }
    EXPECT_FALSE(parse_copy_list("99", 5, &copies, &error));
    EXPECT_EQ(error, "copy 99 is not in the plan, which has copies 0 to 4");

    int64_t ms = 0;
    ASSERT_TRUE(parse_timeout("2.5", &ms));
    EXPECT_EQ(ms, 2500);
    ASSERT_TRUE(parse_timeout("0.0001", &ms));
    EXPECT_EQ(ms, 1);
    for (const char* bad : {"0", "abc", "-1", "1e3", ".", "inf", "1.2.3", "", "9999999999"}) {
        EXPECT_FALSE(parse_timeout(bad, &ms)) << bad;
    }
}

}  // namespace
