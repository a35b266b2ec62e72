// Where the copies' output goes: a file per copy (--output), or lines passed
// on under the copy's number (--tag); and SpawnBench's own console, which a
// writer thread serves while copies' lines are passed on, so that a reader who
// stops reading holds up the copies but never the stop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// --output PATTERN: "%c" stands for the copy number and must appear, "%%" is
// a percent sign, any other '%' is an error (a one-line message in `error`).
bool check_output_pattern(const std::string& pattern, std::string* error);
// The file of copy `copy`.
std::string output_path(const std::string& pattern, int32_t copy);
// Creates, or empties, the file of each of `copies` before any starts, so
// that a missing folder is found at once. False with a one-line message.
bool make_output_files(const std::string& pattern, const std::vector<int32_t>& copies,
                       std::string* error);
// The same pattern for a Slurm job array, whose task ids are the copies.
std::string slurm_output_pattern(const std::string& pattern);

// Characters in UTF-8 `text`, as a terminal shows them in columns.
size_t display_length(const std::string& text);
// `line` cut to fewer than `columns` characters (left whole for 0 or 1): a
// status line that wrapped could not be rewritten in place.
std::string fit_to_columns(const std::string& line, size_t columns);

// A line longer than this is passed on in pieces of this size.
constexpr size_t kMaxLinePiece = 64 * 1024;

// Cuts one stream's bytes into lines. Holds at most kMaxLinePiece bytes, and
// only while part of a line waits for its end.
class LineSplitter {
public:
    // Calls emit(data, size, add_line_end) for each whole line (`data` ends
    // with its line feed) and for each full piece of a longer line (without).
    template <typename Emit>
    void feed(const char* data, size_t size, Emit&& emit);
    // Passes on what is left, with a line end added.
    template <typename Emit>
    void finish(Emit&& emit);
    bool holding() const { return !partial_.empty(); }

private:
    void release();
    std::string partial_;
};

// SpawnBench's standard output and standard error while a fleet runs: its own
// lines, the live status line on a terminal, and with --tag the copies' lines.
class FleetConsole {
public:
    // `tagged`: a writer thread does the writing, and queues up to `capacity`
    // bytes; otherwise every line is written at once.
    FleetConsole(bool tagged, bool live_status, size_t capacity = 1 << 20);
    ~FleetConsole();
    FleetConsole(const FleetConsole&) = delete;
    FleetConsole& operator=(const FleetConsole&) = delete;

    // One of our own lines, with its line end, to standard output (1) or
    // standard error (2). The status line is erased first.
    void line(int which, const std::string& text);
    // Adds a copy's piece of a line, as LineSplitter gives it, to `batch`
    // behind `tag` ("12\t").
    static void tag_line(std::string* batch, const std::string& tag, const char* data, size_t size,
                         bool add_line_end);
    // Queues copies' tagged lines for standard output (1) or standard error (2).
    void copy_lines(int which, const std::string& batch);
    // The live status line, rewritten in place; ignored unless live_status.
    void status(const std::string& text);
    // Erases the status line.
    void clear_status();

    // Whether the queue has room for more of the copies' lines.
    bool has_room();
    // Blocks until it has, or standard output is broken.
    void wait_for_room();
    // Blocks until everything queued has been written.
    void flush();
    // True once writing to standard output has failed (a closed pipe): what
    // follows for it is dropped. The writer calls util_wake when it happens.
    bool broken() const;

private:
    void enqueue(int which, const char* data, size_t size);
    void write_now(int which, const std::string& text);
    void writer();

    const bool tagged_;
    const bool live_status_;
    const size_t capacity_;
    size_t status_shown_ = 0;  // length of the status line on the terminal

    struct Chunk {
        int which;
        std::string bytes;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> queue_;
    size_t queued_ = 0;
    bool writing_ = false;
    bool quit_ = false;
    bool broken_ = false;
    std::string pending_status_;
    bool status_pending_ = false;
    std::thread thread_;
};

template <typename Emit>
void LineSplitter::feed(const char* data, size_t size, Emit&& emit) {
    while (size > 0) {
        size_t room = kMaxLinePiece - partial_.size();
        size_t look = size < room + 1 ? size : room + 1;
        const char* end = static_cast<const char*>(std::memchr(data, '\n', look));
        size_t take;
        if (end != nullptr) {
            take = static_cast<size_t>(end - data) + 1;
        } else if (size > room) {
            take = room;  // a full piece of a longer line
        } else {
            partial_.append(data, size);
            return;
        }
        if (partial_.empty()) {
            emit(data, take, end == nullptr);
        } else {
            partial_.append(data, take);
            emit(partial_.data(), partial_.size(), end == nullptr);
            release();
        }
        data += take;
        size -= take;
    }
}

template <typename Emit>
void LineSplitter::finish(Emit&& emit) {
    if (partial_.empty()) return;
    emit(partial_.data(), partial_.size(), true);
    release();
}
