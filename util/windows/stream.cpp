// Windows side of reading the copies' output and of the supervision loop's
// wait. Every read end is a named pipe opened for overlapped I/O and tied to
// the one completion port that the copies' jobs report to, so a single
// GetQueuedCompletionStatusEx wakes on output, on a copy's end and on
// util_wake alike. Each stream the loop waits for keeps one read pending into
// a buffer of its own; one it leaves out gets no new read, so its writer
// blocks once the pipe is full.
#include <errno.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "stream_internal.h"
#include "vorn_stream.h"

namespace {

// Small buffers keep thousands of streams cheap; a stream that fills one gets
// a large one, up to a bounded number of them.
constexpr DWORD kSmallRead = 4 * 1024;
constexpr DWORD kLargeRead = 64 * 1024;
constexpr int kMaxLargeReads = 64;
// The pipe's own buffer, which a writer fills before it blocks.
constexpr DWORD kPipeSize = 64 * 1024;
constexpr ULONG kBatch = 64;
// How long a close waits for its cancelled read to come back.
constexpr DWORD kCancelWaitMs = 2000;

// One read at most is in flight. Its result is taken as soon as the OVERLAPPED
// shows it done, through the port or earlier; the packets are only counted,
// so that a slot is reused once the last of them has come.
struct Pipe {
    HANDLE handle = nullptr;
    OVERLAPPED overlapped;
    std::unique_ptr<char[]> buffer;
    DWORD capacity = 0;
    DWORD size = 0;    // bytes read into the buffer
    DWORD offset = 0;  // of which handed out
    DWORD error = ERROR_SUCCESS;
    int packets = 0;       // still to come from the port
    bool open = false;     // ours to read
    bool reading = false;  // a read is posted and its result not taken
    bool ended = false;    // the end, or an error, in `error`
};

std::mutex pipes_mutex;
std::deque<Pipe> pipes;  // a deque: a pending read's OVERLAPPED never moves
std::vector<util_stream> free_slots;
int large_reads = 0;
std::atomic<unsigned> pipe_counter{0};
std::atomic<bool> wake_posted{false};

Pipe* find(util_stream stream) {
    if (stream < 0 || static_cast<size_t>(stream) >= pipes.size()) return nullptr;
    Pipe* pipe = &pipes[static_cast<size_t>(stream)];
    return pipe->open ? pipe : nullptr;
}

void release_buffer(Pipe* pipe) {
    if (pipe->capacity == kLargeRead) --large_reads;
    pipe->buffer.reset();
    pipe->capacity = 0;
}

bool read_done(const Pipe* pipe) {
    bool done = HasOverlappedIoCompleted(&pipe->overlapped);
    // The data was written before the status.
    std::atomic_thread_fence(std::memory_order_acquire);
    return done;
}

void take_result(Pipe* pipe) {
    DWORD got = 0;
    pipe->reading = false;
    pipe->offset = 0;
    if (GetOverlappedResult(pipe->handle, &pipe->overlapped, &got, FALSE)) {
        // A writer's zero-byte write arrives as an empty read: not the end.
        pipe->size = got;
    } else {
        pipe->size = 0;
        pipe->error = GetLastError();
        pipe->ended = true;
    }
}

bool has_data(const Pipe* pipe) { return pipe->offset < pipe->size; }

// Starts the next read, once what was read is handed out. One that succeeds
// at once is taken at once, and still sends its packet.
void post_read(Pipe* pipe) {
    if (pipe->reading || pipe->ended || has_data(pipe)) return;
    DWORD wanted =
        pipe->size == pipe->capacity && pipe->capacity == kSmallRead && large_reads < kMaxLargeReads
            ? kLargeRead
            : std::max(pipe->capacity, kSmallRead);
    if (wanted != pipe->capacity) {
        release_buffer(pipe);
        pipe->buffer.reset(new char[wanted]);
        pipe->capacity = wanted;
        if (wanted == kLargeRead) ++large_reads;
    }
    pipe->size = pipe->offset = 0;
    memset(&pipe->overlapped, 0, sizeof pipe->overlapped);
    if (ReadFile(pipe->handle, pipe->buffer.get(), pipe->capacity, nullptr, &pipe->overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        pipe->reading = true;
        ++pipe->packets;
        if (read_done(pipe)) take_result(pipe);
    } else {
        pipe->error = GetLastError();
        pipe->ended = true;
    }
}

// A packet of the read of `stream` came.
void count_packet(util_stream stream) {
    if (stream < 0 || static_cast<size_t>(stream) >= pipes.size()) return;
    Pipe* pipe = &pipes[static_cast<size_t>(stream)];
    --pipe->packets;
    if (pipe->open) {
        if (pipe->reading && read_done(pipe)) take_result(pipe);
    } else if (pipe->packets == 0) {
        free_slots.push_back(stream);
    }
}

int64_t end_result(DWORD error) {
    switch (error) {
        case ERROR_BROKEN_PIPE:
        case ERROR_HANDLE_EOF:
        case ERROR_PIPE_NOT_CONNECTED:
            return 0;
        case ERROR_OPERATION_ABORTED:
            return -ECANCELED;
        default:
            return -EIO;
    }
}

// Marks the listed streams that util_stream_read would answer, and starts a
// read on each listed one that has none. Under pipes_mutex.
bool mark_ready(const util_stream* streams, size_t count, bool* ready) {
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
        Pipe* pipe = find(streams[i]);
        if (pipe != nullptr) post_read(pipe);
        ready[i] = pipe != nullptr && (has_data(pipe) || pipe->ended);
        any = any || ready[i];
    }
    return any;
}

}  // namespace

HANDLE util_windows_port() {
    static HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    return port;
}

DWORD util_windows_make_pipe(util_stream* stream, HANDLE* write_end) {
    *stream = UTIL_NO_STREAM;
    *write_end = nullptr;
    HANDLE port = util_windows_port();
    if (port == nullptr) return GetLastError();
    // A name taken by someone else fails FILE_FLAG_FIRST_PIPE_INSTANCE: try the next.
    HANDLE read_end = INVALID_HANDLE_VALUE;
    char name[64];
    for (int attempt = 0; attempt < 16 && read_end == INVALID_HANDLE_VALUE; ++attempt) {
        snprintf(name, sizeof name, "\\\\.\\pipe\\vorn-%lu-%u", GetCurrentProcessId(),
                 pipe_counter.fetch_add(1));
        read_end = CreateNamedPipeA(
            name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
            kPipeSize, 0, nullptr);
        if (read_end == INVALID_HANDLE_VALUE && GetLastError() != ERROR_ACCESS_DENIED &&
            GetLastError() != ERROR_PIPE_BUSY) {
            return GetLastError();
        }
    }
    if (read_end == INVALID_HANDLE_VALUE) return GetLastError();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_end = CreateFileA(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (child_end == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(read_end);
        return error;
    }

    std::lock_guard<std::mutex> lock(pipes_mutex);
    util_stream slot;
    if (!free_slots.empty()) {
        slot = free_slots.back();
        free_slots.pop_back();
    } else if (pipes.size() < static_cast<size_t>(INT32_MAX) - kPipeKeyBase) {
        slot = static_cast<util_stream>(pipes.size());
        pipes.emplace_back();
    } else {
        CloseHandle(child_end);
        CloseHandle(read_end);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    if (CreateIoCompletionPort(read_end, port, kPipeKeyBase + static_cast<ULONG_PTR>(slot), 0) ==
        nullptr) {
        DWORD error = GetLastError();
        CloseHandle(child_end);
        CloseHandle(read_end);
        free_slots.push_back(slot);
        return error;
    }
    Pipe& pipe = pipes[static_cast<size_t>(slot)];
    pipe.handle = read_end;
    pipe.size = pipe.offset = 0;
    pipe.error = ERROR_SUCCESS;
    pipe.reading = pipe.ended = false;
    // Nothing is read until the loop waits for the stream or reads it.
    pipe.open = true;
    *stream = slot;
    *write_end = child_end;
    return ERROR_SUCCESS;
}

int64_t util_stream_read(util_stream stream, char* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(pipes_mutex);
    Pipe* pipe = find(stream);
    if (pipe == nullptr) return -EBADF;
    if (!has_data(pipe)) {
        post_read(pipe);
        // Finished, its packet yet to come.
        if (pipe->reading && read_done(pipe)) take_result(pipe);
    }
    if (has_data(pipe)) {
        size_t count = std::min<size_t>(size, pipe->size - pipe->offset);
        memcpy(buffer, pipe->buffer.get() + pipe->offset, count);
        pipe->offset += static_cast<DWORD>(count);
        return static_cast<int64_t>(count);
    }
    return pipe->ended ? end_result(pipe->error) : -EAGAIN;
}

void util_stream_close(util_stream stream) {
    std::lock_guard<std::mutex> lock(pipes_mutex);
    Pipe* pipe = find(stream);
    if (pipe == nullptr) return;
    bool freed = true;
    if (pipe->reading) {
        CancelIoEx(pipe->handle, &pipe->overlapped);
        DWORD got;
        GetOverlappedResult(pipe->handle, &pipe->overlapped, &got, TRUE);
        // The buffer is the system's until the read is over.
        ULONGLONG deadline = GetTickCount64() + kCancelWaitMs;
        while (!read_done(pipe) && GetTickCount64() < deadline) Sleep(1);
        freed = read_done(pipe);
        pipe->reading = false;
    }
    CloseHandle(pipe->handle);
    pipe->handle = nullptr;
    if (freed) release_buffer(pipe);
    pipe->open = false;
    pipe->size = pipe->offset = 0;
    // Packets still to come would land on the next stream of this slot.
    if (pipe->packets == 0) free_slots.push_back(stream);
}

void util_wake() {
    HANDLE port = util_windows_port();
    // One packet at a time is enough; a handler called in a burst adds no more.
    if (port != nullptr && !wake_posted.exchange(true)) {
        if (!PostQueuedCompletionStatus(port, 0, kWakeKey, nullptr)) wake_posted.store(false);
    }
}

unsigned util_wait(const util_stream* streams, size_t count, bool* ready, uint32_t timeout_ms) {
    HANDLE port = util_windows_port();
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    unsigned seen = 0;
    for (;;) {
        bool any;
        {
            std::lock_guard<std::mutex> lock(pipes_mutex);
            any = mark_ready(streams, count, ready);
        }
        ULONGLONG now = GetTickCount64();
        DWORD wait = any || seen != 0 || now >= deadline ? 0
                     : timeout_ms == INFINITE            ? INFINITE
                                                         : static_cast<DWORD>(deadline - now);
        if (port == nullptr) {
            Sleep(wait == INFINITE ? INFINITE - 1 : wait);
            return seen;
        }
        OVERLAPPED_ENTRY entries[kBatch];
        ULONG got = 0;
        if (!GetQueuedCompletionStatusEx(port, entries, kBatch, &got, wait, FALSE)) got = 0;
        std::vector<DWORD> exited;
        {
            std::lock_guard<std::mutex> lock(pipes_mutex);
            for (ULONG i = 0; i < got; ++i) {
                const OVERLAPPED_ENTRY& entry = entries[i];
                if (entry.lpCompletionKey == kWakeKey) {
                    wake_posted.store(false);
                    seen |= UTIL_WAIT_WOKEN;
                } else if (entry.lpCompletionKey == kJobKey) {
                    // The job message is the byte count; the process id comes
                    // in place of the OVERLAPPED.
                    DWORD message = entry.dwNumberOfBytesTransferred;
                    DWORD id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry.lpOverlapped));
                    if (message == JOB_OBJECT_MSG_EXIT_PROCESS ||
                        message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
                        exited.push_back(id);
                        seen |= UTIL_WAIT_CHILD;
                    } else if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
                        seen |= UTIL_WAIT_CHILD;
                    }
                } else {
                    count_packet(static_cast<util_stream>(entry.lpCompletionKey - kPipeKeyBase));
                }
            }
            any = mark_ready(streams, count, ready);
        }
        for (DWORD id : exited) util_windows_settle_exit(id);
        if (any || seen != 0 || wait == 0) return seen;
    }
}

bool util_write_standard(int which, const char* data, size_t size) {
    HANDLE handle = GetStdHandle(which == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    // Older consoles refuse large writes.
    size_t chunk = GetFileType(handle) == FILE_TYPE_CHAR ? 16 * 1024 : 1024 * 1024;
    while (size > 0) {
        DWORD wrote = 0;
        if (!WriteFile(handle, data, static_cast<DWORD>(std::min(size, chunk)), &wrote, nullptr) ||
            wrote == 0) {
            return false;
        }
        data += wrote;
        size -= wrote;
    }
    return true;
}

bool util_reserve_descriptors(uint64_t, uint64_t* limit) {
    // Handles are limited only by memory, to some sixteen million a process.
    if (limit != nullptr) *limit = uint64_t{1} << 24;
    return true;
}

const char* util_text_line_end() { return "\r\n"; }
