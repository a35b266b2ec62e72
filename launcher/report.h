// What SpawnBench tells about its copies while a fleet runs: the record of
// each try as it ends, a job log line for it, a live progress line while
// standard error is a terminal and, once the fleet has been stopped, which
// copies failed or were flaky, the JUnit file and the page.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fleet_observer.h"
#include "record.h"
#include "vorn_util.h"

class FleetConsole;

// "1234/2000 done (3 failed, 1 flaky) · 16 running, 20 waiting · 12m04s ·
// about 7m30s left": the live line, from the counts over the run's copies.
std::string progress_line(const CampaignCounts& counts, int64_t elapsed_ms);
// "45s", "12m04s", "1h02m".
std::string duration_text(int64_t ms);

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
    // Creates `path` for the campaign's page, written once the fleet is stopped.
    bool open_html(const char* path, std::string* error);
    // Makes room for `count` copies, numbered from 0; false if it cannot.
    bool track(int32_t count);
    // The same for these copies of the plan, index i standing for copies[i].
    bool track(const std::vector<int32_t>& copies);
    // The campaign so far, as its job log tells it, one record per copy of
    // the plan (call after track): the tracked copies' tries go on after
    // their earlier ones, and JUnit and the page cover the whole campaign.
    void set_history(std::vector<CopyRecord> history);
    // What the page says of the slots: at most this many at once.
    void set_jobs(int32_t jobs) { campaign_.jobs = jobs; }
    // Where the lines go; stdout and stderr at once without it.
    void set_console(FleetConsole* console) { console_ = console; }
    CopyRecord& record(int32_t index) { return campaign_.copies[live_[index]]; }
    util_process_handle handle(int32_t index) const { return handles_[index]; }

    // Called again for each further try.
    void copy_started(int32_t index, const char* command_line, util_process_handle handle) override;
    // The loop saw its try end so.
    void copy_ended(int32_t index, const util_process_end& end);
    // The loop stopped it for running past `timeout_ms`.
    void copy_timed_out(int32_t index, int64_t timeout_ms);
    // Its failed try will be followed by another.
    void copy_retrying(int32_t index) { retrying_[index] = true; }
    // The campaign is stopped before its end, for this reason ("3 copies
    // failed, as many as --max-failures allows"), said once it is stopped.
    void stopping_early(const std::string& reason) { campaign_.stop_reason = reason; }
    void pass_done() override;
    void before_print() override;
    void stopping(int32_t index) override;
    void fleet_stopped() override;

    int32_t failed_count() const;
    // 1 if `strict` and a copy failed, else 0.
    int exit_status(bool strict) const;

private:
    int64_t now_ms() const;
    const CopyRecord& live(int32_t index) const { return campaign_.copies[live_[index]]; }
    void end_try(int32_t index, TryOutcome outcome, int32_t code);
    void log(int32_t index);
    void drop_joblog(int error);
    void show_status();
    void print_error(const std::string& line);
    void write_file(std::FILE** file, const std::string& path, const char* what,
                    const std::string& text);

    CampaignRecord campaign_;
    std::vector<size_t> live_;  // the record of each tracked copy
    std::vector<util_process_handle> handles_;
    std::vector<int64_t> started_ms_;  // of each running try, on the steady clock
    std::vector<bool> retrying_;
    std::vector<bool> tried_;  // started in this run
    bool history_ = false;
    std::FILE* joblog_ = nullptr;
    std::string joblog_path_;
    std::FILE* junit_ = nullptr;
    std::string junit_path_;
    std::FILE* html_ = nullptr;
    std::string html_path_;
    bool live_status_;
    size_t status_shown_ = 0;  // length of the status line on the terminal
    FleetConsole* console_ = nullptr;
    std::chrono::steady_clock::time_point begin_;
    // The job log's times are this plus the steady time since begin_: one
    // clock, so a copy started as another ended never seems to overlap it.
    int64_t begin_epoch_ms_;
};
