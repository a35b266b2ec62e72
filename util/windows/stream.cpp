// Windows side of reading the copies' output and of the supervision loop's
// wait. Every read end is a named pipe opened for overlapped I/O and tied to
// the one completion port that the copies' jobs report to, so a single
// GetQueuedCompletionStatusEx wakes on output, on a copy's end and on
// util_wake alike. Each stream keeps one read pending into a buffer of its
// own; its data is handed out only once the port has delivered the read.
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

enum class State {
    kFree,     // no stream
    kIdle,     // open, nothing read, no read pending
    kReading,  // a read pending: one packet to come
    kReady,    // data to hand out
    kEnded,    // the end, or an error
    kClosing,  // closed, the cancelled read's packet still to come
};

struct Pipe {
    HANDLE handle = nullptr;
    OVERLAPPED overlapped;
    std::unique_ptr<char[]> buffer;
    DWORD capacity = 0;
    DWORD size = 0;    // bytes read into the buffer
    DWORD offset = 0;  // of which handed out
    DWORD error = ERROR_SUCCESS;
    State state = State::kFree;
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
    return pipe->state == State::kFree || pipe->state == State::kClosing ? nullptr : pipe;
}

void release_buffer(Pipe* pipe) {
    if (pipe->capacity == kLargeRead) --large_reads;
    pipe->buffer.reset();
    pipe->capacity = 0;
}

void free_slot(util_stream stream) {
    pipes[static_cast<size_t>(stream)].state = State::kFree;
    free_slots.push_back(stream);
}

// Starts the next read. A read that succeeds at once still sends its packet,
// so data only ever comes in through the port.
void post_read(Pipe* pipe) {
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
        pipe->state = State::kReading;
    } else {
        pipe->error = GetLastError();
        pipe->state = State::kEnded;
    }
}

// The port delivered the pending read of `stream`.
void complete_read(util_stream stream) {
    if (stream < 0 || static_cast<size_t>(stream) >= pipes.size()) return;
    Pipe* pipe = &pipes[static_cast<size_t>(stream)];
    if (pipe->state == State::kClosing) {
        free_slot(stream);
        return;
    }
    if (pipe->state != State::kReading) return;
    DWORD got = 0;
    if (GetOverlappedResult(pipe->handle, &pipe->overlapped, &got, FALSE)) {
        // A writer's zero-byte write arrives as an empty read: not the end.
        pipe->size = got;
        pipe->offset = 0;
        pipe->state = got > 0 ? State::kReady : State::kIdle;
    } else {
        pipe->error = GetLastError();
        pipe->state = State::kEnded;
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
        if (pipe != nullptr && pipe->state == State::kIdle) post_read(pipe);
        ready[i] =
            pipe != nullptr && (pipe->state == State::kReady || pipe->state == State::kEnded);
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
    // Nothing is read until the loop waits for the stream or reads it.
    pipe.state = State::kIdle;
    *stream = slot;
    *write_end = child_end;
    return ERROR_SUCCESS;
}

int64_t util_stream_read(util_stream stream, char* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(pipes_mutex);
    Pipe* pipe = find(stream);
    if (pipe == nullptr) return -EBADF;
    if (pipe->state == State::kIdle) post_read(pipe);
    if (pipe->state == State::kEnded) return end_result(pipe->error);
    if (pipe->state != State::kReady) return -EAGAIN;
    size_t count = std::min<size_t>(size, pipe->size - pipe->offset);
    memcpy(buffer, pipe->buffer.get() + pipe->offset, count);
    pipe->offset += static_cast<DWORD>(count);
    if (pipe->offset == pipe->size) post_read(pipe);
    return static_cast<int64_t>(count);
}

void util_stream_close(util_stream stream) {
    std::lock_guard<std::mutex> lock(pipes_mutex);
    Pipe* pipe = find(stream);
    if (pipe == nullptr) return;
    bool pending = pipe->state == State::kReading;
    if (pending) {
        CancelIoEx(pipe->handle, &pipe->overlapped);
        DWORD got;
        GetOverlappedResult(pipe->handle, &pipe->overlapped, &got, TRUE);
        // The buffer is the system's until the read is over.
        ULONGLONG deadline = GetTickCount64() + kCancelWaitMs;
        while (!HasOverlappedIoCompleted(&pipe->overlapped) && GetTickCount64() < deadline) {
            Sleep(1);
        }
    }
    CloseHandle(pipe->handle);
    pipe->handle = nullptr;
    if (!pending || HasOverlappedIoCompleted(&pipe->overlapped)) release_buffer(pipe);
    // A read that was pending still sends its packet: the slot is reused only
    // once util_wait has taken it.
    if (pending) {
        pipe->state = State::kClosing;
    } else {
        free_slot(stream);
    }
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
                    complete_read(static_cast<util_stream>(entry.lpCompletionKey - kPipeKeyBase));
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
