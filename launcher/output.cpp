#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vorn_report_util.h"
#include "vorn_stream.h"

namespace {

// Lines of one stream are written together, up to this much in one go.
constexpr size_t kChunkBytes = 1024 * 1024;

std::string status_text(const std::string& line, size_t shown) {
    std::string text = "\r" + line;
    size_t length = display_length(line);
    if (shown > length) text += std::string(shown - length, ' ');
    // The cursor waits at the start: a copy's own output overwrites the line
    // instead of running on after it.
    return text + "\r";
}

}  // namespace

size_t display_length(const std::string& text) {
    size_t length = 0;
    for (char c : text) length += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return length;
}

std::string fit_to_columns(const std::string& line, size_t columns) {
    if (columns <= 1 || display_length(line) < columns) return line;
    size_t i = 0;
    for (size_t shown = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (shown++ == columns - 1) break;
    }
    return line.substr(0, i);
}

bool check_output_pattern(const std::string& pattern, std::string* error) {
    bool has_copy = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (next == 'c') {
            has_copy = true;
        } else if (next != '%') {
            *error = "output pattern '" + pattern + "' holds '%" +
                     (next != '\0' ? std::string(1, next) : std::string()) +
                     "': only %c (the copy number) and %% may follow a '%'";
            return false;
        }
        ++i;
    }
    if (!has_copy) {
        *error =
            "output pattern '" + pattern + "' has no %c: every copy would write to the same file";
        return false;
    }
    return true;
}

std::string output_path(const std::string& pattern, int32_t copy) {
    std::string path;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            path += pattern[i + 1] == 'c' ? std::to_string(copy) : std::string("%");
            ++i;
        } else {
            path += pattern[i];
        }
    }
    return path;
}

bool make_output_files(const std::string& pattern, const std::vector<int32_t>& copies,
                       std::string* error) {
    for (int32_t copy : copies) {
        std::string path = output_path(pattern, copy);
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fclose(file) != 0) {
            *error = "cannot create output file '" + path + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string slurm_output_pattern(const std::string& pattern) {
    std::string slurm;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            slurm += pattern[i + 1] == 'c' ? "%a" : "%%";
            ++i;
        } else {
            slurm += pattern[i];
        }
    }
    return slurm;
}

void LineSplitter::release() {
    // Memory is held only while part of a line waits.
    std::string().swap(partial_);
}

FleetConsole::FleetConsole(bool tagged, bool live_status, size_t capacity)
    : tagged_(tagged), live_status_(live_status), capacity_(capacity) {
    if (tagged_) {
        // The writer thread writes past stdio from now on.
        std::fflush(stdout);
        std::fflush(stderr);
        thread_ = std::thread(&FleetConsole::writer, this);
    }
}

FleetConsole::~FleetConsole() {
    if (!tagged_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FleetConsole::line(int which, const std::string& text) {
    if (tagged_) {
        // Written past the C runtime, whose text mode may end our lines
        // otherwise (CR LF on Windows): the same with --tag as without.
        const std::string line_end = util_text_line_end();
        std::string ended;
        for (char c : text) {
            if (c == '\n') {
                ended += line_end;
            } else {
                ended += c;
            }
        }
        enqueue(which, ended.data(), ended.size());
        return;
    }
    clear_status();
    write_now(which, text);
}

void FleetConsole::tag_line(std::string* batch, const std::string& tag, const char* data,
                            size_t size, bool add_line_end) {
    batch->append(tag);
    batch->append(data, size);
    if (add_line_end) *batch += '\n';
}

void FleetConsole::copy_lines(int which, const std::string& batch) {
    if (!batch.empty()) enqueue(which, batch.data(), batch.size());
}

void FleetConsole::status(const std::string& text) {
    if (!live_status_) return;
    std::string line = text;
    // A line that wraps could not be rewritten in place.
    line = fit_to_columns(line, static_cast<size_t>(util_stderr_columns()));
    if (tagged_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_status_ = line;
            status_pending_ = true;
        }
        changed_.notify_all();
        return;
    }
    std::fflush(stderr);
    const std::string shown = status_text(line, status_shown_);
    util_write_status(shown.data(), shown.size());
    status_shown_ = display_length(line);
}

void FleetConsole::clear_status() {
    if (tagged_) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_pending_ = false;
        // The writer erases it before the next line it writes.
        return;
    }
    if (status_shown_ == 0) return;
    write_now(2, "\r" + std::string(status_shown_, ' ') + "\r");
    status_shown_ = 0;
}

bool FleetConsole::has_room() {
    if (!tagged_) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_ < capacity_;
}

void FleetConsole::wait_for_room() {
    if (!tagged_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_ < capacity_ || broken_; });
}

void FleetConsole::flush() {
    if (!tagged_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

bool FleetConsole::broken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return broken_;
}

void FleetConsole::enqueue(int which, const char* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (which == 1 && broken_) return;
        if (!queue_.empty() && queue_.back().which == which &&
            queue_.back().bytes.size() < kChunkBytes) {
            queue_.back().bytes.append(data, size);
        } else {
            queue_.push_back(Chunk{which, std::string(data, size)});
        }
        queued_ += size;
    }
    changed_.notify_all();
}

void FleetConsole::write_now(int which, const std::string& text) {
    std::FILE* stream = which == 2 ? stderr : stdout;
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void FleetConsole::writer() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || status_pending_ || quit_; });
        if (!queue_.empty()) {
            Chunk chunk = std::move(queue_.front());
            queue_.pop_front();
            writing_ = true;
            size_t erase = status_shown_;
            status_shown_ = 0;
            lock.unlock();
            if (erase > 0) {
                std::string blank = "\r" + std::string(erase, ' ') + "\r";
                util_write_standard(2, blank.data(), blank.size());
            }
            bool ok = util_write_standard(chunk.which, chunk.bytes.data(), chunk.bytes.size());
            lock.lock();
            writing_ = false;
            // The loop leaves the copies' pipes alone while the queue is
            // full; tell it at once when there is room again.
            bool was_full = queued_ >= capacity_;
            queued_ -= chunk.bytes.size();
            if (was_full && queued_ < capacity_) util_wake();
            if (!ok && chunk.which == 1 && !broken_) {
                broken_ = true;
                // What is queued for standard output goes nowhere now.
                for (auto it = queue_.begin(); it != queue_.end();) {
                    if (it->which != 1) {
                        ++it;
                        continue;
                    }
                    queued_ -= it->bytes.size();
                    it = queue_.erase(it);
                }
                util_wake();
            }
            changed_.notify_all();
            continue;
        }
        if (status_pending_) {
            std::string text = status_text(pending_status_, status_shown_);
            status_shown_ = display_length(pending_status_);
            status_pending_ = false;
            lock.unlock();
            util_write_status(text.data(), text.size());
            lock.lock();
            continue;
        }
        if (quit_) break;
    }
    // Leave no half-erased status behind.
    if (status_shown_ > 0) {
        std::string blank = "\r" + std::string(status_shown_, ' ') + "\r";
        lock.unlock();
        util_write_standard(2, blank.data(), blank.size());
    }
}
