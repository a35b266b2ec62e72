// POSIX side of the copies' pipes and of the supervision loop's one wait: a
// poll over the pipes and an eventfd that SIGCHLD and util_wake write to.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "stream_internal.h"
#include "vorn_stream.h"

namespace {

std::atomic<bool> g_child_ended{false};
std::atomic<bool> g_woken{false};

// Made before main, so that any signal handler finds it ready. One
// descriptor for the program's life; without it (none left) the loop still
// wakes at its time-outs.
struct WakeUp {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};
const WakeUp g_wake;

void poke() {
    if (g_wake.fd < 0) return;
    int saved = errno;
    uint64_t one = 1;
    ssize_t written = write(g_wake.fd, &one, sizeof one);
    (void)written;
    errno = saved;
}

extern "C" void on_child_signal(int) {
    g_child_ended.store(true);
    poke();
}

// What descriptors the processes we start get: the limit we began with.
std::atomic<bool> g_limit_raised{false};
struct rlimit g_original_limit {};

}  // namespace

namespace util_internal {

void catch_child_ends() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    struct sigaction action {};
    action.sa_handler = on_child_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
}

bool original_descriptor_limit(struct rlimit* limit) {
    if (!g_limit_raised.load()) return false;
    *limit = g_original_limit;
    return true;
}

}  // namespace util_internal

int64_t util_stream_read(util_stream stream, char* buffer, size_t size) {
    if (stream < 0) return -EBADF;
    for (;;) {
        ssize_t got = read(stream, buffer, size);
        if (got >= 0) return got;
        if (errno != EINTR) return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    }
}

void util_stream_close(util_stream stream) {
    if (stream >= 0) close(stream);
}

void util_wake() {
    g_woken.store(true);
    poke();
}

unsigned util_wait(const util_stream* streams, size_t count, bool* ready, uint32_t timeout_ms) {
    thread_local std::vector<pollfd> fds;
    fds.assign(count + 1, pollfd{});
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = streams[i];
        fds[i].events = POLLIN;
        ready[i] = false;
    }
    fds[count].fd = g_wake.fd;
    fds[count].events = POLLIN;
    // Flags set before the wait are seen without waiting.
    unsigned seen = (g_child_ended.exchange(false) ? UTIL_WAIT_CHILD : 0) |
                    (g_woken.exchange(false) ? UTIL_WAIT_WOKEN : 0);
    int rc = poll(fds.data(), fds.size(), seen != 0 ? 0 : static_cast<int>(timeout_ms));
    if (rc > 0) {
        for (size_t i = 0; i < count; ++i) {
            ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
        if (fds[count].revents != 0) {
            uint64_t count_read;
            ssize_t got = read(g_wake.fd, &count_read, sizeof count_read);
            (void)got;
        }
    }
    seen |= (g_child_ended.exchange(false) ? UTIL_WAIT_CHILD : 0) |
            (g_woken.exchange(false) ? UTIL_WAIT_WOKEN : 0);
    return seen;
}

bool util_write_standard(int which, const char* data, size_t size) {
    int fd = which == 2 ? STDERR_FILENO : STDOUT_FILENO;
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            // Someone made the stream non-blocking: wait for room instead.
            pollfd out{fd, POLLOUT, 0};
            poll(&out, 1, 100);
        } else if (written < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool util_reserve_descriptors(uint64_t needed, uint64_t* limit) {
    struct rlimit current {};
    if (getrlimit(RLIMIT_NOFILE, &current) != 0) return false;
    *limit = current.rlim_cur;
    if (current.rlim_cur == RLIM_INFINITY || current.rlim_cur >= needed) return true;
    if (current.rlim_max != RLIM_INFINITY && current.rlim_max < needed) {
        *limit = current.rlim_max;
        return false;
    }
    struct rlimit raised = current;
    raised.rlim_cur = current.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        // An unbounded hard limit may still be capped by the kernel.
        raised.rlim_cur = needed;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return false;
    }
    if (!g_limit_raised.load()) {
        g_original_limit = current;
        g_limit_raised.store(true);
    }
    *limit = raised.rlim_cur;
    return true;
}

const char* util_text_line_end() { return "\n"; }
