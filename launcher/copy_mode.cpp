#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "joblog_file.h"
#include "modes.h"
#include "output.h"
#include "record.h"
#include "schedule.h"
#include "stop_signals.h"
#include "vorn_contain.h"
#include "vorn_util.h"

namespace {

constexpr uint32_t kCopyPollMs = 10;
constexpr int kCannotStart = 127;  // as a shell reports a command it cannot run
constexpr int kKilled = 128 + 9;   // as a shell reports SIGKILL

struct TryResult {
    int status;         // the exit status this try gives
    bool failed;        // worth another try
    bool passed_on;     // a stop signal was passed on: no more tries
    TryRecord attempt;  // the try as the job log has it
};

int64_t epoch_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class CopyRun {
public:
    CopyRun(const LaunchOptions& options, int32_t index, const char* line)
        : options_(options), index_(index), line_(line), console_(options.tag, false) {}

    TryResult run_try();
    void flush() { console_.flush(); }

private:
    TryResult attempt();
    void read(int which, bool drain);

    const LaunchOptions& options_;
    const int32_t index_;
    const char* line_;
    FleetConsole console_;
    util_stream streams_[2] = {UTIL_NO_STREAM, UTIL_NO_STREAM};
    LineSplitter lines_[2];
    char buffer_[kMaxLinePiece];
};

void CopyRun::read(int which, bool drain) {
    const std::string tag = std::to_string(index_) + "\t";
    std::string batch;
    auto emit = [&](const char* data, size_t size, bool add_line_end) {
        FleetConsole::tag_line(&batch, tag, data, size, add_line_end);
    };
    for (;;) {
        console_.wait_for_room();
        int64_t got = util_stream_read(streams_[which], buffer_, sizeof buffer_);
        batch.clear();
        if (got > 0) {
            lines_[which].feed(buffer_, static_cast<size_t>(got), emit);
            console_.copy_lines(which + 1, batch);
            if (!drain) return;
            continue;
        }
        if (got == -EAGAIN && !drain) return;
        lines_[which].finish(emit);
        console_.copy_lines(which + 1, batch);
        util_stream_close(streams_[which]);
        streams_[which] = UTIL_NO_STREAM;
        return;
    }
}

TryResult CopyRun::run_try() {
    const int64_t started = epoch_ms();
    const auto began = std::chrono::steady_clock::now();
    TryResult result = attempt();
    result.attempt.start_epoch_ms = started;
    if (result.attempt.outcome != TryOutcome::kStartFailed) {
        result.attempt.runtime_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - began)
                                        .count();
    }
    if (result.attempt.outcome == TryOutcome::kTimedOut)
        result.attempt.timeout_ms = options_.timeout_ms;
    return result;
}

TryResult CopyRun::attempt() {
    // The try as it ended, for the job log.
    auto ended = [](int status, bool failed, bool passed_on, TryOutcome outcome, uint32_t code) {
        TryResult result{status, failed, passed_on, TryRecord()};
        result.attempt.outcome = outcome;
        result.attempt.code = static_cast<int32_t>(code);
        return result;
    };
    util_start_options start;
    std::string output =
        options_.output.empty() ? std::string() : output_path(options_.output, index_);
    if (!output.empty()) start.output_file = output.c_str();
    if (options_.tag) {
        start.out_stream = &streams_[0];
        start.err_stream = &streams_[1];
    }
    char why[512];
    util_process_handle handle = util_process_start_with(line_, start, why, sizeof why);
    if (handle == UTIL_NO_PROCESS) {
        console_.line(2, std::string("SpawnBench: ") + why + "\n");
        return ended(kCannotStart, true, false, TryOutcome::kStartFailed, 0);
    }

    int passed_on = 0;
    uint32_t waited_ms = 0;
    int64_t ran_ms = 0;
    util_process_end end{};
    int state;
    while ((state = util_process_end_state(handle, &end)) == 0) {
        int signal_number = util_caught_stop_signal();
        if (passed_on == 0 && signal_number != 0) {
            util_process_signal(handle, signal_number);
            passed_on = signal_number;
        } else if (passed_on != 0 && waited_ms >= kCopyGraceMs) {
            util_process_kill_handle(handle);
            util_end_descendants(false);
            for (int which = 0; which < 2; ++which) {
                if (streams_[which] != UTIL_NO_STREAM) read(which, true);
            }
            return ended(kKilled, true, true, TryOutcome::kStopped, 0);
        } else if (passed_on == 0 && options_.timeout_ms > 0 && ran_ms >= options_.timeout_ms) {
            util_process_kill_handle(handle);
            util_end_descendants(false);
            for (int which = 0; which < 2; ++which) {
                if (streams_[which] != UTIL_NO_STREAM) read(which, true);
            }
            CopyRecord record;
            record.copy = index_;
            TryRecord attempt;
            attempt.outcome = TryOutcome::kTimedOut;
            attempt.timeout_ms = options_.timeout_ms;
            record.tries.push_back(attempt);
            console_.line(2, "SpawnBench: " + how_it_failed(record) + "\n");
            return ended(kTimedOutStatus, true, false, TryOutcome::kTimedOut, 0);
        }
        // Waits on the copy's end and its output, a tick at most.
        bool ready[2] = {false, false};
        util_stream open[2];
        int owners[2];
        size_t count = 0;
        for (int which = 0; which < 2; ++which) {
            if (streams_[which] == UTIL_NO_STREAM) continue;
            open[count] = streams_[which];
            owners[count++] = which;
        }
        auto before = std::chrono::steady_clock::now();
        util_wait(open, count, ready, kCopyPollMs);
        for (size_t k = 0; k < count; ++k) {
            if (ready[k]) read(owners[k], false);
        }
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - before)
                         .count();
        ran_ms += spent;
        if (passed_on != 0) waited_ms += static_cast<uint32_t>(spent);
    }
    for (int which = 0; which < 2; ++which) {
        if (streams_[which] != UTIL_NO_STREAM) read(which, true);
    }
    // Whatever the copy left in its group goes with it.
    util_process_kill_handle(handle);
    util_end_descendants(false);
    if (state < 0) {
        console_.line(2, "SpawnBench: cannot tell how copy " + std::to_string(index_) + " ended\n");
        return ended(1, false, passed_on != 0, TryOutcome::kExited, 1);
    }
    int status =
        end.kind == UTIL_END_EXITED ? static_cast<int>(end.code) : 128 + static_cast<int>(end.code);
    // Ended by the stop passed on to it, it was stopped, as in a fleet.
    const TryOutcome outcome = passed_on != 0                ? TryOutcome::kStopped
                               : end.kind == UTIL_END_EXITED ? TryOutcome::kExited
                                                             : TryOutcome::kSignaled;
    return ended(status, status != 0, passed_on != 0, outcome, end.code);
}

}  // namespace

int run_copy(const LaunchOptions& options, const LaunchSettings& settings) {
    FleetPlan plan = fleet_plan(settings.total, options.maximum);
    std::vector<int32_t> copies;
    std::string error;
    if (!parse_copy_list(options.copy, plan.count, &copies, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        return 2;
    }
    // Every line is made before the first copy starts.
    std::vector<std::string> lines;
    char line[kCommandLineSize];
    for (int32_t index : copies) {
        if (!copy_command_line(settings, plan, index, line)) return 1;
        lines.emplace_back(line);
    }
    // Before anything is written: a file that is not a job log stops it all.
    if (options.joblog != nullptr) {
        int status = check_joblog(options.joblog);
        if (status != 0) return status;
    }
    if (!options.output.empty() && !make_output_files(options.output, copies, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", printable_argument(error.c_str()).c_str());
        return 2;
    }

    // Caught from before the start, so that no request is lost.
    util_catch_stop_signals();
    int status = 0;
    for (size_t k = 0; k < copies.size(); ++k) {
        CopyRun run(options, copies[k], lines[k].c_str());
        CopyRecord copy;  // for the job log
        copy.copy = copies[k];
        copy.command = lines[k];
        TryResult result{0, false, false, TryRecord()};
        for (int32_t tries = 0; tries <= options.retries; ++tries) {
            result = run.run_try();
            if (options.joblog != nullptr) add_joblog_line(options.joblog, copy, result.attempt);
            if (!result.failed || result.passed_on) break;
        }
        run.flush();
        if (result.status != 0) status = result.status;
        // A stop request ends the group: the copies left have no line, so a
        // rerun takes them.
        if (result.passed_on) break;
    }
    // The keeper of --contain's namespace served every try; it goes last.
    util_end_descendants();
    return status;
}
