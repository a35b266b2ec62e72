// The campaign's decisions, kept apart from the OS: which copies to start,
// which to stop for their time-out, and which to try again. The supervision
// loop asks at each pass or wake-up and carries the answer out. Pure, so that
// every decision can be checked without starting anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CampaignLimits {
    int32_t jobs = 0;          // at most this many copies at once; 0: all at once
    int64_t timeout_ms = 0;    // a try that runs longer is stopped; 0: never
    int32_t retries = 0;       // more tries for a copy whose try failed
    int32_t max_failures = 0;  // stop once this many copies failed for good; 0: never
};

enum class SlotState : uint8_t {
    kWaiting,  // not started yet, or waiting for another try
    kRunning,
    kPassed,    // its last try ended well
    kFailed,    // its last try failed and no try is left
    kStopped,   // running when the fleet was stopped
    kNotTried,  // the fleet was stopped before its first try
};

// How a try ended, as the loop saw it.
enum class TryEnd : uint8_t { kPassed, kFailed, kTimedOut, kStartFailed };

struct Slot {
    int32_t copy = 0;  // the copy's number in the plan
    SlotState state = SlotState::kWaiting;
    int32_t tries = 0;
    int32_t running_at = -1;  // its place in running_slots() while it runs
    int64_t deadline_ms = 0;  // of the running try, if it has a time-out
};

// What to do now, in this order.
struct ScheduleStep {
    std::vector<int32_t> time_out;  // slots whose running try is past its deadline
    std::vector<int32_t> start;     // slots to start, in copy order
};

class Schedule {
public:
    // One slot per copy in `copies`, in that order (copy order).
    Schedule(const std::vector<int32_t>& copies, const CampaignLimits& limits);

    // What is due at `now_ms`. Nothing changes until the loop reports back.
    // Nothing is due once the fleet is stopping, or has failed enough.
    ScheduleStep next(int64_t now_ms) const;
    // The time of the next deadline, or -1 if no running try has one.
    int64_t next_deadline() const;

    // Slot `slot`'s try was started at `now_ms` (a failed start is reported
    // through ended() right after).
    void started(int32_t slot, int64_t now_ms);
    // Its running try ended so. A failed try is tried again while tries are
    // left and the fleet is not stopping. Returns true if it will be.
    bool ended(int32_t slot, TryEnd end);
    // Enter, a signal or a closed output: running slots become kStopped once
    // the loop has stopped them (stopped()), waiting ones never start.
    void stop();
    void stopped(int32_t slot);

    bool stopping() const { return stopping_; }
    // As many copies failed for good as max_failures allows: nothing more
    // starts, and the loop stops the rest.
    bool failure_limit_reached() const {
        return limits_.max_failures > 0 && failed_ >= limits_.max_failures;
    }
    int32_t failed() const { return failed_; }
    // Nothing runs and nothing waits.
    bool finished() const { return running_ == 0 && waiting_ == 0; }
    int32_t running() const { return running_; }
    const std::vector<Slot>& slots() const { return slots_; }
    // The running slots, in no particular order: a campaign of 100 000
    // copies at -j 4 asks these at each wake-up, not every slot.
    const std::vector<int32_t>& running_slots() const { return running_slots_; }

private:
    void leave_running(int32_t slot);

    std::vector<Slot> slots_;
    std::vector<int32_t> running_slots_;
    // No slot before it waits, so that finding the next to start does not
    // walk the copies already done.
    size_t first_waiting_ = 0;
    CampaignLimits limits_;
    int32_t running_ = 0;
    int32_t waiting_ = 0;
    int32_t failed_ = 0;  // for good, with no try left
    bool stopping_ = false;
};

// Parses a list of copies such as "3,7-9" for a plan of `count` copies into
// sorted, distinct copy numbers. False with a one-line message for an empty
// item, a reversed range, or a number outside the plan.
bool parse_copy_list(const char* text, int32_t count, std::vector<int32_t>* copies,
                     std::string* error);

// Parses a time-out in seconds, a decimal number above 0 ("2.5"), into whole
// milliseconds, rounded up. False for anything else, and above 30 days.
bool parse_timeout(const char* text, int64_t* milliseconds);

// "3,7-9": `copies` (sorted) with runs folded into ranges.
std::string format_copy_list(const std::vector<int32_t>& copies);
