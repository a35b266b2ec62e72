#include "supervise.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "output.h"
#include "vorn_console.h"
#include "vorn_contain.h"
#include "vorn_util.h"

namespace {

// Shared by the main thread, the key thread and the stop-request handler;
// never cleared. Lock-free, so a signal handler may set it.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_stop_request(int) {
    g_stop.store(true);
    util_wake();
}

// Any character, the end of input or a read error asks for a stop.
extern "C" void* key_thread(void*) {
    util_wait_for_key();
    g_stop.store(true);
    util_wake();
    pthread_exit(nullptr);
    return nullptr;  // winpthreads' pthread_exit is not marked noreturn
}

// Thousands of copies failing alike (no process slots left, say) would bury
// everything else on the terminal: the first few are shown, the rest counted.
constexpr int32_t kShownFailures = 3;
// How soon to look again while the console has no room for more lines, in
// case its wake-up was taken by an earlier wait.
constexpr uint32_t kRoomWaitMs = 100;
// Descriptors beyond the copies' pipes: our own, the job log, the libraries'.
constexpr uint64_t kSpareDescriptors = 64;

struct CopyStream {
    util_stream id = UTIL_NO_STREAM;
    LineSplitter lines;
};

// The OS side of one slot: its running try's process and pipes.
struct SlotIo {
    util_process_handle handle = UTIL_NO_PROCESS;
    CopyStream streams[2];  // standard output, standard error
};

class Supervisor {
public:
    Supervisor(const FleetJob& job, FleetReport* report, FleetConsole* console)
        : job_(job),
          report_(report),
          console_(console),
          schedule_(job.copies, job.limits),
          io_(new SlotIo[job.copies.size()]),
          begin_(std::chrono::steady_clock::now()),
          // A copy that ends frees its place only once it is gone.
          reap_at_end_(job.limits.jobs > 0 || job.limits.retries > 0 || job.limits.timeout_ms > 0) {
    }

    int run();
    // The parts of run() before and after its loop.
    int begin();
    int end();
    util_process_handle handle(int32_t slot) const { return io_[slot].handle; }

private:
    int64_t now_ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - begin_)
            .count();
    }
    // --max-failures is reached while copies still run or wait.
    bool failed_enough() const {
        return schedule_.failure_limit_reached() && !schedule_.finished();
    }
    void carry_out(int64_t now);
    void start(int32_t slot);
    void check_ends();
    void end_try(int32_t slot, const util_process_end& end);
    void time_out(int32_t slot);
    void stop_all();
    bool read_stream(int32_t slot, int which, bool drain);
    void drain(int32_t slot);
    void note_failed_start(const char* why);
    void count_hidden_failures();
    unsigned wait(int64_t until_ms);

    const FleetJob& job_;
    FleetReport* report_;
    FleetConsole* console_;
    Schedule schedule_;
    std::unique_ptr<SlotIo[]> io_;
    std::chrono::steady_clock::time_point begin_;
    const bool reap_at_end_;
    int32_t failed_starts_ = 0;
    int32_t hidden_failures_ = 0;
    int32_t tried_ = 0;
    char buffer_[kMaxLinePiece];
    std::string batch_;
    std::vector<int32_t> running_;
    std::vector<util_stream> wait_streams_;
    std::vector<std::pair<int32_t, int>> wait_owners_;
    std::unique_ptr<bool[]> ready_;
    size_t ready_size_ = 0;
};

int Supervisor::begin() {
    const int32_t count = static_cast<int32_t>(job_.copies.size());
    if (job_.tag && count > 0) {
        int64_t at_once =
            job_.limits.jobs > 0 && job_.limits.jobs < count ? job_.limits.jobs : count;
        uint64_t needed = 2 * static_cast<uint64_t>(at_once) + kSpareDescriptors;
        uint64_t limit = 0;
        if (!util_reserve_descriptors(needed, &limit)) {
            console_->line(2, "SpawnBench: --tag needs " + std::to_string(needed) +
                                  " open files for " + std::to_string(at_once) +
                                  " copies at once, but the limit is " + std::to_string(limit) +
                                  "; raise it (ulimit -n) or lower --jobs\n");
            return 1;
        }
    }
    report_->set_jobs(job_.limits.jobs);
    char line[kCommandLineSize];
    for (int32_t i = 0; i < count; ++i) {
        CopyRecord& record = report_->record(i);
        FleetCopy range = fleet_copy(job_.plan, job_.copies[static_cast<size_t>(i)]);
        record.first = range.start;
        record.share = range.share;
        // A copy never tried is logged with its command too, so that a rerun
        // knows the log for this plan's.
        if (fleet_command_line(line, sizeof line, job_.tmpl, range, record.copy))
            record.command = line;
        if (!job_.output.empty()) record.output = output_path(job_.output, record.copy);
    }

    // The first copies start before the prompt; a stop requested meanwhile
    // leaves the rest unstarted.
    carry_out(now_ms());
    count_hidden_failures();
    return 0;
}

int Supervisor::run() {
    if (int status = begin()) return status;
    console_->line(1, "Click enter to exit\n");

    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, key_thread, nullptr);
    if (rc != 0) {
        // Enter could not stop the fleet, so it is stopped at once. Say why:
        // the copies may have taken the last slots under a process limit.
        console_->line(2, std::string("SpawnBench: cannot wait for Enter: ") + std::strerror(rc) +
                              "; stopping the copies\n");
    } else {
        pthread_detach(thread);
        int64_t next_pass = now_ms();
        while (!g_stop.load() && !console_->broken() && !failed_enough()) {
            int64_t now = now_ms();
            if (now >= next_pass) {
                // Every copy is asked on every pass.
                check_ends();
                bool finished = schedule_.finished();
                if (finished) {
                    console_->line(1, "All VORNCore Stopped!\n");
                    g_stop.store(true);
                }
                report_->pass_done();
                if (finished) {
                    util_sleep_ms(job_.poll_ms);
                    break;
                }
                next_pass = now + job_.poll_ms;
            }
            carry_out(now);
            int64_t until = next_pass;
            int64_t deadline = schedule_.next_deadline();
            if (deadline >= 0 && deadline < until) until = deadline;
            if (wait(until) & UTIL_WAIT_CHILD) check_ends();
        }
        if (console_->broken()) {
            console_->line(2, "SpawnBench: standard output is closed; stopping the copies\n");
        }
        if (failed_enough() && !g_stop.load()) {
            int32_t failed = schedule_.failed();
            report_->stopping_early(std::to_string(failed) + (failed == 1 ? " copy" : " copies") +
                                    " failed, as many as --max-failures allows");
        }
    }
    return end();
}

int Supervisor::end() {
    stop_all();
    count_hidden_failures();
    report_->fleet_stopped();
    console_->flush();
    return console_->broken() ? kBrokenOutputStatus : 0;
}

void Supervisor::carry_out(int64_t now) {
    ScheduleStep step = schedule_.next(now);
    for (int32_t slot : step.time_out) time_out(slot);
    for (int32_t slot : step.start) {
        if (g_stop.load()) break;
        start(slot);
    }
}

void Supervisor::start(int32_t slot) {
    SlotIo& io = io_[slot];
    int32_t copy = job_.copies[static_cast<size_t>(slot)];
    char line[kCommandLineSize];
    char why[512];
    std::memset(line, 0, sizeof line);
    std::string output = job_.output.empty() ? std::string() : output_path(job_.output, copy);
    util_start_options options;
    if (!output.empty()) options.output_file = output.c_str();
    if (job_.tag) {
        options.out_stream = &io.streams[0].id;
        options.err_stream = &io.streams[1].id;
    }
    if (fleet_command_line(line, sizeof line, job_.tmpl, fleet_copy(job_.plan, copy), copy)) {
        io.handle = util_process_start_with(line, options, why, sizeof why);
    } else {
        io.handle = UTIL_NO_PROCESS;
        std::snprintf(why, sizeof why, "command line of copy %d is too long", copy);
    }
    ++tried_;
    report_->copy_started(slot, line, io.handle);
    schedule_.started(slot, now_ms());
    if (io.handle == UTIL_NO_PROCESS) {
        note_failed_start(why);
        if (schedule_.ended(slot, TryEnd::kStartFailed)) report_->copy_retrying(slot);
    }
}

void Supervisor::note_failed_start(const char* why) {
    if (++failed_starts_ <= kShownFailures) {
        console_->line(2, std::string("SpawnBench: ") + why + "\n");
    } else {
        ++hidden_failures_;
    }
}

void Supervisor::count_hidden_failures() {
    if (hidden_failures_ == 0) return;
    console_->line(2, "SpawnBench: " + std::to_string(hidden_failures_) +
                          " more copies could not be started; " + std::to_string(failed_starts_) +
                          " of " + std::to_string(tried_) + " failed\n");
    hidden_failures_ = 0;
}

void Supervisor::check_ends() {
    // Only the running slots are asked, in copy order as before; ending a try
    // changes the schedule's list, so it is copied first.
    running_.assign(schedule_.running_slots().begin(), schedule_.running_slots().end());
    std::sort(running_.begin(), running_.end());
    for (int32_t i : running_) {
        util_process_end end{};
        if (util_process_end_state(io_[i].handle, &end) == 1) end_try(i, end);
    }
}

void Supervisor::end_try(int32_t slot, const util_process_end& end) {
    SlotIo& io = io_[slot];
    // What it wrote before it ended is passed on, and a last line finished.
    drain(slot);
    report_->copy_ended(slot, end);
    bool failed = copy_failed(report_->record(slot));
    if (reap_at_end_) {
        util_process_kill_handle(io.handle);
        io.handle = UTIL_NO_PROCESS;
    }
    if (schedule_.ended(slot, failed ? TryEnd::kFailed : TryEnd::kPassed))
        report_->copy_retrying(slot);
}

void Supervisor::time_out(int32_t slot) {
    SlotIo& io = io_[slot];
    // One that has just ended keeps its own status.
    util_process_end end{};
    if (util_process_end_state(io.handle, &end) == 1) {
        end_try(slot, end);
        return;
    }
    util_process_kill_handle(io.handle);
    io.handle = UTIL_NO_PROCESS;
    drain(slot);
    report_->copy_timed_out(slot, job_.limits.timeout_ms);
    if (schedule_.ended(slot, TryEnd::kTimedOut)) report_->copy_retrying(slot);
}

void Supervisor::stop_all() {
    schedule_.stop();
    const std::vector<Slot>& slots = schedule_.slots();
    for (int32_t i = 0; i < static_cast<int32_t>(slots.size()); ++i) {
        // Every copy still held is given a kill, whether or not it runs.
        if (slots[static_cast<size_t>(i)].state == SlotState::kRunning) report_->stopping(i);
        util_process_kill_handle(io_[i].handle);
        io_[i].handle = UTIL_NO_PROCESS;
        schedule_.stopped(i);
    }
    // Killing the copies hands us whatever they started outside their groups.
    util_end_descendants();
    // What the copies wrote before they were killed is still passed on.
    for (int32_t i = 0; i < static_cast<int32_t>(slots.size()); ++i) drain(i);
}

// Reads what waits on one stream: one buffer's worth, or with `drain` all of
// it. Returns false once the stream has ended and is closed.
bool Supervisor::read_stream(int32_t slot, int which, bool drain) {
    CopyStream& stream = io_[slot].streams[which];
    const std::string tag = std::to_string(job_.copies[static_cast<size_t>(slot)]) + "\t";
    // A read's lines are queued together: one hand-over per read, not per line.
    auto emit = [&](const char* data, size_t size, bool add_line_end) {
        FleetConsole::tag_line(&batch_, tag, data, size, add_line_end);
    };
    do {
        if (drain) console_->wait_for_room();
        int64_t got = util_stream_read(stream.id, buffer_, sizeof buffer_);
        batch_.clear();
        if (got > 0) {
            stream.lines.feed(buffer_, static_cast<size_t>(got), emit);
            console_->copy_lines(which + 1, batch_);
            continue;
        }
        if (got == -EAGAIN && !drain) return true;
        // Its end, an error, or with `drain` nothing more now: a grandchild
        // that keeps the pipe open does not hold us.
        stream.lines.finish(emit);
        console_->copy_lines(which + 1, batch_);
        util_stream_close(stream.id);
        stream.id = UTIL_NO_STREAM;
        return false;
    } while (drain);
    return true;
}

void Supervisor::drain(int32_t slot) {
    for (int which = 0; which < 2; ++which) {
        if (io_[slot].streams[which].id != UTIL_NO_STREAM) read_stream(slot, which, true);
    }
}

unsigned Supervisor::wait(int64_t until_ms) {
    int64_t left = until_ms - now_ms();
    uint32_t timeout = left <= 0 ? 0 : static_cast<uint32_t>(left);
    wait_streams_.clear();
    wait_owners_.clear();
    // A full console leaves the copies' pipes unread, so they wait.
    if (job_.tag && console_->has_room()) {
        for (int32_t i = 0; i < static_cast<int32_t>(job_.copies.size()); ++i) {
            for (int which = 0; which < 2; ++which) {
                if (io_[i].streams[which].id == UTIL_NO_STREAM) continue;
                wait_streams_.push_back(io_[i].streams[which].id);
                wait_owners_.emplace_back(i, which);
            }
        }
    } else if (job_.tag && timeout > kRoomWaitMs) {
        timeout = kRoomWaitMs;
    }
    if (ready_size_ < wait_streams_.size() || !ready_) {
        ready_size_ = wait_streams_.size() + 1;
        ready_.reset(new bool[ready_size_]);
    }
    unsigned seen = util_wait(wait_streams_.data(), wait_streams_.size(), ready_.get(), timeout);
    for (size_t k = 0; k < wait_streams_.size(); ++k) {
        if (ready_[k]) read_stream(wait_owners_[k].first, wait_owners_[k].second, false);
    }
    return seen;
}

}  // namespace

void supervise_install_signal_handlers() { util_catch_stop_requests(on_stop_request); }

bool supervise_stop_requested() { return g_stop.load(); }

uint32_t supervise_poll_ms() {
    const char* text = std::getenv("SPAWNBENCH_POLL_MS");
    if (text == nullptr || *text < '0' || *text > '9') return kPollMilliseconds;
    char* end = nullptr;
    errno = 0;
    unsigned long long ms = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || ms < 1 || ms > 3600000) return kPollMilliseconds;
    return static_cast<uint32_t>(ms);
}

int supervise(const FleetJob& job, FleetReport* report) {
    // The report decides whether there is a status line to show.
    FleetConsole console(job.tag, true);
    report->set_console(&console);
    int status = Supervisor(job, report, &console).run();
    report->set_console(nullptr);
    return status;
}

struct FleetStart::Parts {
    Parts(const FleetJob& job, FleetReport* report)
        : report(report), console(job.tag, true), supervisor(job, report, &console) {
        report->set_console(&console);
    }
    FleetReport* report;
    FleetConsole console;
    Supervisor supervisor;
    int32_t count = 0;
    bool running = false;
};

FleetStart::FleetStart(const FleetJob& job, FleetReport* report) : parts_(new Parts(job, report)) {
    parts_->count = static_cast<int32_t>(job.copies.size());
}

FleetStart::~FleetStart() {
    stop();
    parts_->report->set_console(nullptr);
}

int FleetStart::start() {
    parts_->running = true;
    return parts_->supervisor.begin();
}

std::vector<util_process_handle> FleetStart::handles() const {
    std::vector<util_process_handle> result;
    for (int32_t i = 0; i < parts_->count; ++i) result.push_back(parts_->supervisor.handle(i));
    return result;
}

void FleetStart::stop() {
    if (!parts_->running) return;
    parts_->running = false;
    parts_->supervisor.end();
}
