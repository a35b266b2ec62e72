// What SpawnBench tells about its copies: how each one ended, a live status
// line while standard error is a terminal, a job log in GNU parallel's
// --joblog format and, once the fleet has been stopped, which copies failed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "fleet_observer.h"
#include "vorn_util.h"

enum class CopyState {
    kNotTried,     // a stop came before its turn to start
    kStartFailed,  // the process layer could not start it
    kRunning,
    kEnded,    // ended on its own, as `end` says
    kStopped,  // still running when SpawnBench stopped the fleet
};

struct CopyRecord {
    CopyState state = CopyState::kNotTried;
    util_process_handle handle = UTIL_NO_PROCESS;
    util_process_end end{};
    int64_t start_epoch_ms = 0;  // wall clock, for the job log
    int64_t start_ms = 0;        // steady clock, since the report began
    int64_t runtime_ms = 0;      // up to the pass that saw it end, or its stop
    std::string command;         // kept only for the job log
};

// Could not be started, exited with a status other than 0, or was killed by a
// signal that SpawnBench did not send.
bool copy_failed(const CopyRecord& copy);

// "SpawnBench: 3 running, 2 ended (1 failed), 1 never started of 6 | 0:12"
std::string status_line(const CopyRecord* copies, int32_t count, int64_t elapsed_ms);

// "SpawnBench: 2 of 5 copies failed: copy 1 exited with status 3; ...", the
// first few named and the rest counted; empty when none failed.
std::string failure_summary(const CopyRecord* copies, int32_t count);

constexpr const char* kJobLogHeader =
    "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n";

// One line of the job log for copy `index`, with its line feed.
std::string joblog_line(int32_t index, const CopyRecord& copy);

class FleetReport : public FleetObserver {
public:
    FleetReport();
    ~FleetReport() override;
    FleetReport(const FleetReport&) = delete;
    FleetReport& operator=(const FleetReport&) = delete;

    // Creates `path` (emptied if it exists) and writes the header. False with
    // a one-line message in `error` if it cannot.
    bool open_joblog(const char* path, std::string* error);
    // Makes room for `count` copies; false if it cannot.
    bool track(int32_t count);

    void copy_started(int32_t index, const char* command_line, util_process_handle handle) override;
    void pass_done() override;
    void before_print() override;
    void stopping(int32_t index) override;
    void fleet_stopped() override;

    int32_t failed_count() const;
    // 1 if `strict` and a copy failed, else 0.
    int exit_status(bool strict) const;

private:
    int64_t now_ms() const;
    void log(int32_t index);
    void drop_joblog(int error);
    void show_status();

    std::unique_ptr<CopyRecord[]> copies_;
    int32_t count_ = 0;
    std::FILE* joblog_ = nullptr;
    std::string joblog_path_;
    bool live_status_;
    size_t status_shown_ = 0;  // length of the status line on the terminal
    std::chrono::steady_clock::time_point begin_;
};
