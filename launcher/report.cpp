#include "report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "junit.h"
#include "options.h"
#include "output.h"
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

}  // namespace

std::string how_it_failed(const CopyRecord& copy) {
    std::string text = "copy " + std::to_string(copy.copy);
    if (copy.state == CopyState::kStartFailed) {
        text += " could not be started";
    } else if (copy.state == CopyState::kTimedOut) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(copy.timeout_ms) / 1000.0);
        text += std::string(" timed out after ") + seconds + " s";
    } else if (copy.end.kind == UTIL_END_EXITED) {
        text += " exited with status " + std::to_string(copy.end.code);
    } else {
        text += " was killed by signal " + std::to_string(copy.end.code);
        if (const char* description = util_signal_description(copy.end.code)) {
            text += std::string(" (") + description + ")";
        }
    }
    if (copy.tries > 1) text += " after " + std::to_string(copy.tries) + " tries";
    if (!copy.output.empty())
        text += " (output in " + printable_argument(copy.output.c_str()) + ")";
    return text;
}

bool copy_failed(const CopyRecord& copy) {
    if (copy.state == CopyState::kStartFailed || copy.state == CopyState::kTimedOut) return true;
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
            case CopyState::kTimedOut:
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
            named += (failed > 1 ? "; " : "") + how_it_failed(copies[i]);
        }
    }
    if (failed == 0) return std::string();
    if (failed > kNamedFailures)
        named += "; and " + std::to_string(failed - kNamedFailures) + " more";
    return "SpawnBench: " + std::to_string(failed) + " of " + std::to_string(count) +
           (count == 1 ? " copy" : " copies") + " failed: " + named;
}

std::string joblog_line(const CopyRecord& copy) {
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
        case CopyState::kTimedOut:
            exit_value = kTimedOutStatus;
            signal_number = kStopSignal;
            break;
        default:
            exit_value = -1;
            break;
    }
    std::string command = joblog_command(copy.command);
    char fields[160];
    std::snprintf(fields, sizeof fields,
                  "%d\t:\t%" PRId64 ".%03" PRId64 "\t%10.3f\t0\t0\t%lld\t%u\t", copy.copy + 1,
                  copy.start_epoch_ms / 1000, copy.start_epoch_ms % 1000,
                  static_cast<double>(copy.runtime_ms) / 1000.0, exit_value, signal_number);
    return fields + command + "\n";
}

std::string joblog_command(const std::string& command) {
    std::string shown = command;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

bool copies_to_rerun(const std::string& text, const std::string& name,
                     const std::vector<std::string>& commands, std::vector<int32_t>* copies,
                     std::string* error) {
    const std::string shown = "job log '" + printable_argument(name.c_str()) + "'";
    std::string header(kJobLogHeader);
    header.pop_back();
    std::vector<std::string> lines;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        begin = end + 1;
    }
    if (lines.empty()) {
        *error = shown + " is empty";
        return false;
    }
    if (lines[0] != header) {
        *error = shown + " is not a job log: its first line is not the header that --joblog writes";
        return false;
    }
    // -1: no line; 0: its last line failed; 1: its last line passed.
    std::vector<int> outcome(commands.size(), -1);
    for (size_t n = 1; n < lines.size(); ++n) {
        if (lines[n].empty()) continue;
        std::vector<std::string> fields;
        for (size_t begin = 0;;) {
            size_t tab = lines[n].find('\t', begin);
            fields.push_back(lines[n].substr(begin, tab == std::string::npos ? tab : tab - begin));
            if (tab == std::string::npos) break;
            begin = tab + 1;
        }
        int32_t seq = 0;
        int32_t exit_value = 0, signal_number = 0;
        auto number = [](const std::string& field, int32_t* value) {
            char* end = nullptr;
            errno = 0;
            long long parsed = std::strtoll(field.c_str(), &end, 10);
            if (field.empty() || *end != '\0' || errno != 0 || parsed < INT32_MIN ||
                parsed > INT32_MAX)
                return false;
            *value = static_cast<int32_t>(parsed);
            return true;
        };
        if (fields.size() != 9 || !number(fields[0], &seq) || !number(fields[6], &exit_value) ||
            !number(fields[7], &signal_number)) {
            *error = shown + " is not a job log: line " + std::to_string(n + 1) +
                     " does not have its columns";
            return false;
        }
        if (seq < 1 || static_cast<size_t>(seq) > commands.size()) {
            *error = shown + " was written for another plan: it has copy " +
                     std::to_string(static_cast<int64_t>(seq) - 1) + ", and this plan has " +
                     std::to_string(commands.size()) + " copies";
            return false;
        }
        const std::string planned = joblog_command(commands[static_cast<size_t>(seq - 1)]);
        if (fields[8] != planned) {
            *error = shown + " was written for another plan: copy " + std::to_string(seq - 1) +
                     " ran '" + printable_argument(fields[8].c_str()) + "', this plan has '" +
                     planned + "'";
            return false;
        }
        outcome[static_cast<size_t>(seq - 1)] = exit_value == 0 && signal_number == 0 ? 1 : 0;
    }
    copies->clear();
    for (size_t c = 0; c < outcome.size(); ++c) {
        if (outcome[c] != 1) copies->push_back(static_cast<int32_t>(c));
    }
    return true;
}

FleetReport::FleetReport()
    : live_status_(util_stderr_is_terminal()),
      begin_(std::chrono::steady_clock::now()),
      begin_epoch_ms_(epoch_ms()) {}

FleetReport::~FleetReport() {
    if (joblog_ != nullptr) std::fclose(joblog_);
    if (junit_ != nullptr) std::fclose(junit_);
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

bool FleetReport::track(int32_t count) {
    std::vector<int32_t> copies;
    for (int32_t i = 0; i < count; ++i) copies.push_back(i);
    return track(copies);
}

bool FleetReport::track(const std::vector<int32_t>& copies) {
    if (copies.empty()) return true;
    copies_.reset(new (std::nothrow) CopyRecord[copies.size()]);
    if (!copies_) return false;
    count_ = static_cast<int32_t>(copies.size());
    for (int32_t i = 0; i < count_; ++i) copies_[i].copy = copies[static_cast<size_t>(i)];
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
    copy.start_epoch_ms = begin_epoch_ms_ + copy.start_ms;
    copy.runtime_ms = 0;
    ++copy.tries;
    if (joblog_ != nullptr || junit_ != nullptr) copy.command = command_line;
    // A failed start has ended as far as the log goes.
    if (copy.state == CopyState::kStartFailed) log(index);
}

void FleetReport::copy_ended(int32_t index, const util_process_end& end) {
    if (index < 0 || index >= count_ || copies_[index].state != CopyState::kRunning) return;
    CopyRecord& copy = copies_[index];
    copy.end = end;
    copy.state = CopyState::kEnded;
    copy.runtime_ms = now_ms() - copy.start_ms;
    copy.total_ms += copy.runtime_ms;
    log(index);
}

void FleetReport::copy_timed_out(int32_t index, int64_t timeout_ms) {
    if (index < 0 || index >= count_ || copies_[index].state != CopyState::kRunning) return;
    CopyRecord& copy = copies_[index];
    copy.state = CopyState::kTimedOut;
    copy.timeout_ms = timeout_ms;
    copy.runtime_ms = now_ms() - copy.start_ms;
    copy.total_ms += copy.runtime_ms;
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
    if (index < 0 || index >= count_) return;
    CopyRecord& copy = copies_[index];
    if (copy.state != CopyState::kRunning) return;
    copy.runtime_ms = now_ms() - copy.start_ms;
    copy.total_ms += copy.runtime_ms;
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
    int64_t epoch_now = begin_epoch_ms_ + now;
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
    write_junit();
    std::string summary = failure_summary(copies_.get(), count_);
    if (!summary.empty()) print_error(summary);
}

int32_t FleetReport::failed_count() const {
    int32_t failed = 0;
    for (int32_t i = 0; i < count_; ++i) failed += copy_failed(copies_[i]) ? 1 : 0;
    return failed;
}

int FleetReport::exit_status(bool strict) const { return strict && failed_count() > 0 ? 1 : 0; }

void FleetReport::log(int32_t index) {
    if (joblog_ == nullptr) return;
    std::string line = joblog_line(copies_[index]);
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

void FleetReport::write_junit() {
    if (junit_ == nullptr) return;
    std::string xml = junit_document(copies_.get(), count_, now_ms());
    bool ok = std::fwrite(xml.data(), 1, xml.size(), junit_) == xml.size();
    ok = std::fclose(junit_) == 0 && ok;
    junit_ = nullptr;
    if (!ok) {
        print_error("SpawnBench: cannot write JUnit file '" +
                    printable_argument(junit_path_.c_str()) + "': " + std::strerror(errno));
    }
}

void FleetReport::show_status() {
    if (!live_status_) return;
    std::string line = status_line(copies_.get(), count_, now_ms());
    if (console_ != nullptr) {
        console_->status(line);
        return;
    }
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
