#include "report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "html.h"
#include "junit.h"
#include "options.h"
#include "output.h"
#include "vorn_report_util.h"

namespace {

int64_t epoch_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string duration_text(int64_t ms) {
    int64_t s = ms > 0 ? ms / 1000 : 0;
    char text[48];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%" PRId64 "h%02" PRId64 "m", s / 3600, s / 60 % 60);
    } else if (s >= 60) {
        std::snprintf(text, sizeof text, "%" PRId64 "m%02" PRId64 "s", s / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%" PRId64 "s", s);
    }
    return text;
}

std::string progress_line(const CampaignCounts& counts, int64_t elapsed_ms) {
    const int64_t done = static_cast<int64_t>(counts.passed) + counts.failed + counts.stopped;
    const int64_t waiting = counts.copies - done - counts.running;
    std::string line = std::to_string(done) + "/" + std::to_string(counts.copies) + " done";
    if (counts.failed > 0 || counts.flaky > 0) {
        line += " (" + std::to_string(counts.failed) + " failed";
        if (counts.flaky > 0) line += ", " + std::to_string(counts.flaky) + " flaky";
        line += ")";
    }
    line += " \xC2\xB7 " + std::to_string(counts.running) + " running";
    if (waiting > 0) line += ", " + std::to_string(waiting) + " waiting";
    line += " \xC2\xB7 " + duration_text(elapsed_ms);
    // The rate so far, over what is left.
    if (done > 0 && done < counts.copies) {
        double left = static_cast<double>(elapsed_ms) * static_cast<double>(counts.copies - done) /
                      static_cast<double>(done);
        if (left < 1e12)
            line += " \xC2\xB7 about " + duration_text(static_cast<int64_t>(left)) + " left";
    }
    return line;
}

FleetReport::FleetReport()
    : live_status_(util_stderr_is_terminal()),
      begin_(std::chrono::steady_clock::now()),
      begin_epoch_ms_(epoch_ms()) {}

FleetReport::~FleetReport() {
    if (joblog_ != nullptr) std::fclose(joblog_);
    if (junit_ != nullptr) std::fclose(junit_);
    if (html_ != nullptr) std::fclose(html_);
}

bool FleetReport::open_joblog(const char* path, bool append, std::string* error) {
    joblog_ = util_open_log_file(path, append);
    // A log appended to keeps its one header.
    bool header = joblog_ != nullptr &&
                  (!append || (std::fseek(joblog_, 0, SEEK_END) == 0 && std::ftell(joblog_) == 0));
    if (joblog_ == nullptr || (header && std::fputs(kJobLogHeader, joblog_) < 0) ||
        std::fflush(joblog_) != 0) {
        *error = "cannot open job log '" + printable_argument(path) + "': " + std::strerror(errno);
        return false;
    }
    joblog_path_ = path;
    return true;
}

bool FleetReport::open_junit(const char* path, std::string* error) {
    junit_ = util_open_log_file(path, false);
    if (junit_ == nullptr) {
        *error =
            "cannot write JUnit file '" + printable_argument(path) + "': " + std::strerror(errno);
        return false;
    }
    junit_path_ = path;
    return true;
}

bool FleetReport::open_html(const char* path, std::string* error) {
    html_ = util_open_log_file(path, false);
    if (html_ == nullptr) {
        *error = "cannot write page '" + printable_argument(path) + "': " + std::strerror(errno);
        return false;
    }
    html_path_ = path;
    return true;
}

bool FleetReport::track(int32_t count) {
    std::vector<int32_t> copies;
    for (int32_t i = 0; i < count; ++i) copies.push_back(i);
    return track(copies);
}

bool FleetReport::track(const std::vector<int32_t>& copies) {
    try {
        campaign_.copies.assign(copies.size(), CopyRecord());
        live_.resize(copies.size());
        handles_.assign(copies.size(), UTIL_NO_PROCESS);
        started_ms_.assign(copies.size(), 0);
        retrying_.assign(copies.size(), false);
        tried_.assign(copies.size(), false);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        campaign_.copies[i].copy = copies[i];
        live_[i] = i;
    }
    return true;
}

void FleetReport::set_history(std::vector<CopyRecord> history) {
    std::vector<CopyRecord> tracked = std::move(campaign_.copies);
    campaign_.copies = std::move(history);
    for (size_t i = 0; i < live_.size(); ++i) {
        size_t copy = static_cast<size_t>(tracked[i].copy);
        if (copy >= campaign_.copies.size()) campaign_.copies.resize(copy + 1);
        campaign_.copies[copy].copy = tracked[i].copy;
        live_[i] = copy;
    }
    history_ = true;
}

int64_t FleetReport::now_ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin_)
        .count();
}

void FleetReport::copy_started(int32_t index, const char* command_line,
                               util_process_handle handle) {
    if (index < 0 || static_cast<size_t>(index) >= live_.size()) return;
    CopyRecord& copy = record(index);
    handles_[index] = handle;
    retrying_[index] = false;
    tried_[index] = true;
    started_ms_[index] = now_ms();
    TryRecord attempt;
    attempt.start_epoch_ms = begin_epoch_ms_ + started_ms_[index];
    attempt.outcome = handle == UTIL_NO_PROCESS ? TryOutcome::kStartFailed : TryOutcome::kRunning;
    copy.tries.push_back(attempt);
    if (copy.command.empty() && command_line != nullptr) copy.command = command_line;
    // As its job log line has it: this machine.
    copy.host = ":";
    // A failed start has ended as far as the log goes.
    if (attempt.outcome == TryOutcome::kStartFailed) log(index);
}

// The running try of copy `index` ended so.
void FleetReport::end_try(int32_t index, TryOutcome outcome, int32_t code) {
    TryRecord& attempt = record(index).tries.back();
    attempt.outcome = outcome;
    attempt.code = code;
    attempt.runtime_ms = now_ms() - started_ms_[index];
}

void FleetReport::copy_ended(int32_t index, const util_process_end& end) {
    if (index < 0 || static_cast<size_t>(index) >= live_.size()) return;
    const TryRecord* last = last_try(record(index));
    if (last == nullptr || last->outcome != TryOutcome::kRunning) return;
    end_try(index, end.kind == UTIL_END_EXITED ? TryOutcome::kExited : TryOutcome::kSignaled,
            static_cast<int32_t>(end.code));
    log(index);
}

void FleetReport::copy_timed_out(int32_t index, int64_t timeout_ms) {
    if (index < 0 || static_cast<size_t>(index) >= live_.size()) return;
    const TryRecord* last = last_try(record(index));
    if (last == nullptr || last->outcome != TryOutcome::kRunning) return;
    end_try(index, TryOutcome::kTimedOut, 0);
    record(index).tries.back().timeout_ms = timeout_ms;
    log(index);
}

void FleetReport::pass_done() { show_status(); }

void FleetReport::before_print() {
    if (console_ != nullptr) {
        console_->clear_status();
        return;
    }
    if (status_shown_ == 0) return;
    std::string blank = "\r" + std::string(status_shown_, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), stderr);
    std::fflush(stderr);
    status_shown_ = 0;
}

void FleetReport::stopping(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= live_.size()) return;
    const TryRecord* last = last_try(record(index));
    if (last == nullptr || last->outcome != TryOutcome::kRunning) return;
    // Asked right before the kill: a copy that had ended keeps its own status,
    // so our kill is never taken for a failure.
    util_process_end end{};
    if (util_process_end_state(handles_[index], &end) == 1) {
        copy_ended(index, end);
    } else {
        end_try(index, TryOutcome::kStopped, 0);
    }
}

void FleetReport::fleet_stopped() {
    int64_t epoch_now = begin_epoch_ms_ + now_ms();
    for (size_t i = 0; i < live_.size(); ++i) {
        const int32_t index = static_cast<int32_t>(i);
        CopyRecord& copy = record(index);
        if (!tried_[i]) {
            TryRecord never;
            never.start_epoch_ms = epoch_now;
            never.outcome = TryOutcome::kNotTried;
            copy.tries.push_back(never);
            log(index);
        } else if (copy.tries.back().outcome == TryOutcome::kStopped) {
            log(index);
        }
    }
    before_print();
    if (joblog_ != nullptr && std::fclose(joblog_) != 0) {
        joblog_ = nullptr;
        drop_joblog(errno);
    }
    joblog_ = nullptr;
    if (junit_ != nullptr || html_ != nullptr) {
        const CampaignCounts counts =
            campaign_counts(campaign_.copies.data(), static_cast<int32_t>(campaign_.copies.size()));
        int64_t elapsed = history_ ? counts.end_epoch_ms - counts.begin_epoch_ms : now_ms();
        if (junit_ != nullptr)
            write_file(&junit_, junit_path_, "JUnit file",
                       junit_document(campaign_.copies.data(),
                                      static_cast<int32_t>(campaign_.copies.size()), elapsed));
        if (html_ != nullptr) write_file(&html_, html_path_, "page", campaign_page(campaign_));
    }
    std::vector<CopyRecord> run;
    const CopyRecord* copies = campaign_.copies.data();
    if (history_) {
        // The words are about this run's copies.
        for (size_t i = 0; i < live_.size(); ++i) run.push_back(live(static_cast<int32_t>(i)));
        copies = run.data();
    }
    const int32_t count = static_cast<int32_t>(live_.size());
    std::string summary = failure_summary(copies, count);
    if (!summary.empty()) print_error(summary);
    std::string flaky = flaky_summary(copies, count);
    if (!flaky.empty()) print_error(flaky);
    if (!campaign_.stop_reason.empty())
        print_error("SpawnBench: the campaign was stopped early: " + campaign_.stop_reason);
}

int32_t FleetReport::failed_count() const {
    int32_t failed = 0;
    for (size_t i = 0; i < live_.size(); ++i) failed += copy_failed(live(static_cast<int32_t>(i)));
    return failed;
}

int FleetReport::exit_status(bool strict) const { return strict && failed_count() > 0 ? 1 : 0; }

void FleetReport::log(int32_t index) {
    if (joblog_ == nullptr) return;
    const CopyRecord& copy = record(index);
    std::string line = joblog_line(copy, copy.tries.back());
    // Flushed line by line: a launcher killed mid-run leaves every copy that
    // had ended in the log.
    if (std::fputs(line.c_str(), joblog_) < 0 || std::fflush(joblog_) != 0) drop_joblog(errno);
}

// Says once that the log cannot be written, and goes on without it.
void FleetReport::drop_joblog(int error) {
    if (joblog_ != nullptr) std::fclose(joblog_);
    joblog_ = nullptr;
    print_error("SpawnBench: cannot write job log '" + printable_argument(joblog_path_.c_str()) +
                "': " + std::strerror(error));
}

void FleetReport::print_error(const std::string& line) {
    if (console_ != nullptr) {
        console_->line(2, line + "\n");
        return;
    }
    before_print();
    std::fprintf(stderr, "%s\n", line.c_str());
}

void FleetReport::write_file(std::FILE** file, const std::string& path, const char* what,
                             const std::string& text) {
    bool ok = std::fwrite(text.data(), 1, text.size(), *file) == text.size();
    ok = std::fclose(*file) == 0 && ok;
    *file = nullptr;
    if (!ok) {
        print_error(std::string("SpawnBench: cannot write ") + what + " '" +
                    printable_argument(path.c_str()) + "': " + std::strerror(errno));
    }
}

void FleetReport::show_status() {
    if (!live_status_) return;
    CampaignCounts counts;
    counts.copies = static_cast<int32_t>(live_.size());
    for (size_t i = 0; i < live_.size(); ++i) {
        if (retrying_[i]) continue;  // waits for its next try
        const CopyRecord& copy = live(static_cast<int32_t>(i));
        const TryRecord* last = last_try(copy);
        if (last == nullptr || !tried_[i]) continue;
        if (last->outcome == TryOutcome::kRunning) {
            ++counts.running;
        } else if (try_passed(*last)) {
            ++counts.passed;
            counts.flaky += flaky_try(copy) > 0;
        } else if (last->outcome == TryOutcome::kStopped) {
            ++counts.stopped;
        } else {
            ++counts.failed;
        }
    }
    std::string line = progress_line(counts, now_ms());
    if (console_ != nullptr) {
        console_->status(line);
        return;
    }
    line = fit_to_columns(line, static_cast<size_t>(util_stderr_columns()));
    size_t shown = display_length(line);
    std::string text = "\r" + line;
    if (status_shown_ > shown) text += std::string(status_shown_ - shown, ' ');
    // The cursor waits at the start: a copy's own output overwrites the line
    // instead of running on after it.
    text += "\r";
    std::fflush(stderr);
    util_write_status(text.data(), text.size());
    status_shown_ = shown;
}
