#include "report.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "options.h"
#include "vorn_report_util.h"

namespace {

constexpr int32_t kNamedFailures = 5;
// The job log's Signal for a copy that SpawnBench stopped: its kill.
constexpr int kStopSignal = 9;
// What a shell reports for a command it could not run.
constexpr int kStartFailedStatus = 127;

int64_t epoch_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string elapsed_text(int64_t ms) {
    int64_t s = ms / 1000;
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, s / 3600,
                      s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, s / 60, s % 60);
    }
    return text;
}

std::string how_it_failed(int32_t index, const CopyRecord& copy) {
    std::string text = "copy " + std::to_string(index);
    if (copy.state == CopyState::kStartFailed) return text + " could not be started";
    if (copy.end.kind == UTIL_END_EXITED) {
        return text + " exited with status " + std::to_string(copy.end.code);
    }
    text += " was killed by signal " + std::to_string(copy.end.code);
    if (const char* description = util_signal_description(copy.end.code)) {
        text += std::string(" (") + description + ")";
    }
    return text;
}

}  // namespace

bool copy_failed(const CopyRecord& copy) {
    if (copy.state == CopyState::kStartFailed) return true;
    return copy.state == CopyState::kEnded &&
           (copy.end.kind == UTIL_END_SIGNALED || copy.end.code != 0);
}

std::string status_line(const CopyRecord* copies, int32_t count, int64_t elapsed_ms) {
    int32_t running = 0, ended = 0, failed = 0, not_started = 0;
    for (int32_t i = 0; i < count; ++i) {
        switch (copies[i].state) {
            case CopyState::kRunning:
                ++running;
                break;
            case CopyState::kEnded:
                ++ended;
                failed += copy_failed(copies[i]) ? 1 : 0;
                break;
            case CopyState::kStartFailed:
                ++not_started;
                break;
            default:
                break;
        }
    }
    std::string line =
        "SpawnBench: " + std::to_string(running) + " running, " + std::to_string(ended) + " ended";
    if (failed > 0) line += " (" + std::to_string(failed) + " failed)";
    if (not_started > 0) line += ", " + std::to_string(not_started) + " never started";
    return line + " of " + std::to_string(count > 0 ? count : 0) + " | " + elapsed_text(elapsed_ms);
}

std::string failure_summary(const CopyRecord* copies, int32_t count) {
    int32_t failed = 0;
    std::string named;
    for (int32_t i = 0; i < count; ++i) {
        if (!copy_failed(copies[i])) continue;
        if (++failed <= kNamedFailures) {
            named += (failed > 1 ? "; " : "") + how_it_failed(i, copies[i]);
        }
    }
    if (failed == 0) return std::string();
    if (failed > kNamedFailures)
        named += "; and " + std::to_string(failed - kNamedFailures) + " more";
    return "SpawnBench: " + std::to_string(failed) + " of " + std::to_string(count) +
           (count == 1 ? " copy" : " copies") + " failed: " + named;
}

std::string joblog_line(int32_t index, const CopyRecord& copy) {
    long long exit_value = 0;
    unsigned signal_number = 0;
    switch (copy.state) {
        case CopyState::kEnded:
            if (copy.end.kind == UTIL_END_EXITED) {
                exit_value = copy.end.code;
            } else {
                signal_number = copy.end.code;
            }
            break;
        case CopyState::kStartFailed:
            exit_value = kStartFailedStatus;
            break;
        case CopyState::kStopped:
            exit_value = -1;
            signal_number = kStopSignal;
            break;
        default:
            exit_value = -1;
            break;
    }
    // A tab or line break in the command would break the columns.
    std::string command = copy.command;
    for (char& c : command) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    char fields[160];
    std::snprintf(fields, sizeof fields,
                  "%d\t:\t%" PRId64 ".%03" PRId64 "\t%10.3f\t0\t0\t%lld\t%u\t", index + 1,
                  copy.start_epoch_ms / 1000, copy.start_epoch_ms % 1000,
                  static_cast<double>(copy.runtime_ms) / 1000.0, exit_value, signal_number);
    return fields + command + "\n";
}

FleetReport::FleetReport()
    : live_status_(util_stderr_is_terminal()), begin_(std::chrono::steady_clock::now()) {}

FleetReport::~FleetReport() {
    if (joblog_ != nullptr) std::fclose(joblog_);
}

bool FleetReport::open_joblog(const char* path, std::string* error) {
    joblog_ = util_open_log_file(path);
    if (joblog_ == nullptr || std::fputs(kJobLogHeader, joblog_) < 0 || std::fflush(joblog_) != 0) {
        *error = "cannot open job log '" + printable_argument(path) + "': " + std::strerror(errno);
        return false;
    }
    joblog_path_ = path;
    return true;
}

bool FleetReport::track(int32_t count) {
    if (count <= 0) return true;
    copies_.reset(new (std::nothrow) CopyRecord[static_cast<size_t>(count)]);
    if (!copies_) return false;
    count_ = count;
    return true;
}

int64_t FleetReport::now_ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin_)
        .count();
}

void FleetReport::copy_started(int32_t index, const char* command_line,
                               util_process_handle handle) {
    if (index < 0 || index >= count_) return;
    CopyRecord& copy = copies_[index];
    copy.handle = handle;
    copy.state = handle == UTIL_NO_PROCESS ? CopyState::kStartFailed : CopyState::kRunning;
    copy.start_ms = now_ms();
    copy.start_epoch_ms = epoch_ms();
    if (joblog_ != nullptr) copy.command = command_line;
    // A failed start has ended as far as the log goes.
    if (copy.state == CopyState::kStartFailed) log(index);
}

void FleetReport::pass_done() {
    int64_t now = now_ms();
    for (int32_t i = 0; i < count_; ++i) {
        CopyRecord& copy = copies_[i];
        if (copy.state == CopyState::kRunning &&
            util_process_end_state(copy.handle, &copy.end) == 1) {
            copy.state = CopyState::kEnded;
            copy.runtime_ms = now - copy.start_ms;
            log(i);
        }
    }
    show_status();
}

void FleetReport::before_print() {
    if (status_shown_ == 0) return;
    std::string blank = "\r" + std::string(status_shown_, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), stderr);
    std::fflush(stderr);
    status_shown_ = 0;
}

void FleetReport::stopping(int32_t index) {
    if (index < 0 || index >= count_) return;
    CopyRecord& copy = copies_[index];
    if (copy.state != CopyState::kRunning) return;
    copy.runtime_ms = now_ms() - copy.start_ms;
    // Asked right before the kill: a copy that had ended keeps its own status,
    // so our kill is never taken for a failure.
    if (util_process_end_state(copy.handle, &copy.end) == 1) {
        copy.state = CopyState::kEnded;
        log(index);
    } else {
        copy.state = CopyState::kStopped;
    }
}

void FleetReport::fleet_stopped() {
    int64_t now = now_ms();
    int64_t epoch_now = epoch_ms();
    for (int32_t i = 0; i < count_; ++i) {
        CopyRecord& copy = copies_[i];
        if (copy.state == CopyState::kNotTried) {
            copy.start_ms = now;
            copy.start_epoch_ms = epoch_now;
        }
        if (copy.state == CopyState::kStopped || copy.state == CopyState::kNotTried) log(i);
    }
    before_print();
    if (joblog_ != nullptr && std::fclose(joblog_) != 0) {
        joblog_ = nullptr;
        drop_joblog(errno);
    }
    joblog_ = nullptr;
    std::string summary = failure_summary(copies_.get(), count_);
    if (!summary.empty()) std::fprintf(stderr, "%s\n", summary.c_str());
}

int32_t FleetReport::failed_count() const {
    int32_t failed = 0;
    for (int32_t i = 0; i < count_; ++i) failed += copy_failed(copies_[i]) ? 1 : 0;
    return failed;
}

int FleetReport::exit_status(bool strict) const { return strict && failed_count() > 0 ? 1 : 0; }

void FleetReport::log(int32_t index) {
    if (joblog_ == nullptr) return;
    std::string line = joblog_line(index, copies_[index]);
    // Flushed line by line: a launcher killed mid-run leaves every copy that
    // had ended in the log.
    if (std::fputs(line.c_str(), joblog_) < 0 || std::fflush(joblog_) != 0) drop_joblog(errno);
}

// Says once that the log cannot be written, and goes on without it.
void FleetReport::drop_joblog(int error) {
    if (joblog_ != nullptr) std::fclose(joblog_);
    joblog_ = nullptr;
    before_print();
    std::fprintf(stderr, "SpawnBench: cannot write job log '%s': %s\n",
                 printable_argument(joblog_path_.c_str()).c_str(), std::strerror(error));
}

void FleetReport::show_status() {
    if (!live_status_) return;
    std::string line = status_line(copies_.get(), count_, now_ms());
    // A line that wraps could not be rewritten in place.
    size_t columns = static_cast<size_t>(util_stderr_columns());
    if (columns > 1 && line.size() >= columns) line.resize(columns - 1);
    std::string text = "\r" + line;
    if (status_shown_ > line.size()) text += std::string(status_shown_ - line.size(), ' ');
    // The cursor waits at the start: a copy's own output overwrites the line
    // instead of running on after it.
    text += "\r";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    status_shown_ = line.size();
}
