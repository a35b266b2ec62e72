// Fleet supervision: starts the copies as the schedule says, prompts, then
// waits for Enter (or the end of input, a stop signal, a closed output) or
// for every copy to end, and stops every copy. One loop: at each wake-up it
// takes what the OS reports (ends, output), asks the schedule what is due
// (starts, time-outs, tries again) and carries that out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plan.h"
#include "report.h"
#include "schedule.h"

constexpr uint32_t kPollMilliseconds = 1000;

// The poll pass's interval: SPAWNBENCH_POLL_MS from the environment (1 to
// 3600000), with which a test makes the pass slow on purpose, else
// kPollMilliseconds.
uint32_t supervise_poll_ms();

// Exit status when standard output broke (a closed pipe) under --tag: the
// fleet is stopped as on Enter. As a shell reports a program ended by SIGPIPE.
constexpr int kBrokenOutputStatus = 141;

// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows Ctrl+C, Ctrl+Break and
// closing the console) request a stop like the Enter key (the copies sit in
// groups of their own, out of the terminal's reach), and keeps a closed output
// pipe from killing us before the fleet is stopped.
void supervise_install_signal_handlers();

// True once a stop has been asked for, by the key, a signal or the poll.
bool supervise_stop_requested();

struct FleetJob {
    FleetPlan plan{};
    const char* tmpl = "";
    std::vector<int32_t> copies;  // which copies of the plan run, in copy order
    CampaignLimits limits;
    std::string output;  // --output PATTERN, or empty
    bool tag = false;    // --tag
    uint32_t poll_ms = kPollMilliseconds;
};

// Runs the fleet to its end and returns 0, or kBrokenOutputStatus, or 1 if
// --tag cannot have the descriptors it needs (nothing started then). Every
// copy is told to `report`, which must track job.copies.
int supervise(const FleetJob& job, FleetReport* report);

// supervise()'s start and stop without the loop between, for the benchmarks
// that time the launcher's own start: start() starts the copies as the loop's
// first step does (every one, without --jobs), and stop(), or the end of the
// object, stops them as the loop's end does. `job` and `report` must outlive
// it; `report` must track job.copies.
class FleetStart {
public:
    FleetStart(const FleetJob& job, FleetReport* report);
    ~FleetStart();
    FleetStart(const FleetStart&) = delete;
    FleetStart& operator=(const FleetStart&) = delete;

    // As supervise(): 0, or 1 if --tag cannot have its descriptors.
    int start();
    // Each copy's process, UTIL_NO_PROCESS where none runs.
    std::vector<util_process_handle> handles() const;
    void stop();

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};
