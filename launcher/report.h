// What SpawnBench tells about its copies: how each one ended, a live status
// line while standard error is a terminal, a job log in GNU parallel's
// --joblog format and, once the fleet has been stopped, which copies failed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fleet_observer.h"
#include "vorn_util.h"

class FleetConsole;

enum class CopyState {
    kNotTried,     // a stop came before its turn to start
    kStartFailed,  // the process layer could not start it
    kRunning,
    kEnded,     // ended on its own, as `end` says
    kStopped,   // still running when SpawnBench stopped the fleet
    kTimedOut,  // stopped for running past --timeout
};

struct CopyRecord {
    CopyState state = CopyState::kNotTried;
    util_process_handle handle = UTIL_NO_PROCESS;
    util_process_end end{};
    int64_t start_epoch_ms = 0;  // wall clock, for the job log
    int64_t start_ms = 0;        // steady clock, since the report began
    int64_t runtime_ms = 0;      // up to the pass that saw it end, or its stop
    int64_t total_ms = 0;        // of every try
    int32_t copy = 0;            // its number in the plan
    int32_t first = 0;           // its range of indices: first...
    int32_t share = 0;           // ...and how many
    int32_t tries = 0;
    int64_t timeout_ms = 0;  // the limit it ran past, when kTimedOut
    std::string command;     // kept only for the job log and JUnit
    std::string output;      // the file its output went to, if any
};

// Could not be started, exited with a status other than 0, was killed by a
// signal that SpawnBench did not send, or ran past its time-out.
bool copy_failed(const CopyRecord& copy);

// "SpawnBench: 3 running, 2 ended (1 failed), 1 never started of 6 | 0:12"
std::string status_line(const CopyRecord* copies, int32_t count, int64_t elapsed_ms);

// "copy 1 exited with status 3 (output in logs/copy-1.log)", "copy 3 timed
// out after 2.5 s after 2 tries".
std::string how_it_failed(const CopyRecord& copy);

// "SpawnBench: 2 of 5 copies failed: copy 1 exited with status 3; ...", the
// first few named and the rest counted; empty when none failed.
std::string failure_summary(const CopyRecord* copies, int32_t count);

constexpr const char* kJobLogHeader =
    "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n";

// One line of the job log for the copy's last try, with its line feed. Its
// Seq is the copy's number plus one. A copy stopped by SpawnBench has Exitval
// -1 and Signal 9; one stopped for its time-out, Exitval 124 (as timeout(1)
// has it) and Signal 9; one that never ran, -1 and 0.
std::string joblog_line(const CopyRecord& copy);
constexpr int kTimedOutStatus = 124;

// The job log's Command field for `command`: control characters, which would
// break the columns, become '?'.
std::string joblog_command(const std::string& command);

// The copies of a plan still to run after the job log `text` (`name` is its
// file, for messages): those whose last line there is not a success (Exitval
// and Signal 0), or that have no line. `commands[c]` is copy c's command line
// in the plan. False, with a one-line message, if `text` is not a job log or
// any line's Command is not the plan's for its Seq.
bool copies_to_rerun(const std::string& text, const std::string& name,
                     const std::vector<std::string>& commands, std::vector<int32_t>* copies,
                     std::string* error);

class FleetReport : public FleetObserver {
public:
    FleetReport();
    ~FleetReport() override;
    FleetReport(const FleetReport&) = delete;
    FleetReport& operator=(const FleetReport&) = delete;

    // Creates `path` (emptied if it exists) and writes the header, or with
    // `append` adds to the job log it holds. False with a one-line message in
    // `error` if it cannot.
    bool open_joblog(const char* path, bool append, std::string* error);
    // Creates `path` for the JUnit results, written once the fleet is stopped.
    bool open_junit(const char* path, std::string* error);
    // Makes room for `count` copies, numbered from 0; false if it cannot.
    bool track(int32_t count);
    // The same for these copies of the plan, index i standing for copies[i].
    bool track(const std::vector<int32_t>& copies);
    // Where the lines go; stdout and stderr at once without it.
    void set_console(FleetConsole* console) { console_ = console; }
    CopyRecord& record(int32_t index) { return copies_[index]; }

    // Called again for each further try.
    void copy_started(int32_t index, const char* command_line, util_process_handle handle) override;
    // The loop saw its try end so.
    void copy_ended(int32_t index, const util_process_end& end);
    // The loop stopped it for running past `timeout_ms`.
    void copy_timed_out(int32_t index, int64_t timeout_ms);
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
    void print_error(const std::string& line);
    void write_junit();

    std::unique_ptr<CopyRecord[]> copies_;
    int32_t count_ = 0;
    std::FILE* joblog_ = nullptr;
    std::string joblog_path_;
    std::FILE* junit_ = nullptr;
    std::string junit_path_;
    bool live_status_;
    size_t status_shown_ = 0;  // length of the status line on the terminal
    FleetConsole* console_ = nullptr;
    std::chrono::steady_clock::time_point begin_;
    // The job log's times are this plus the steady time since begin_: one
    // clock, so a copy started as another ended never seems to overlap it.
    int64_t begin_epoch_ms_;
};
