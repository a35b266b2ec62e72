// POSIX console side: stop signals, the key read, the standard descriptors.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "vorn_console.h"

namespace {

std::atomic<void (*)(int)> g_on_request{nullptr};
static_assert(std::atomic<void (*)(int)>::is_always_lock_free, "read in a signal handler");

extern "C" void on_stop_signal(int signal_number) {
    if (void (*request)(int) = g_on_request.load()) request(signal_number);
}

}  // namespace

void util_catch_stop_requests(void (*on_request)(int)) {
    g_on_request.store(on_request);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void util_ignore_stop_requests() {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) signal(signal_number, SIG_IGN);
}

void util_wait_for_key() {
    char c;
    ssize_t got = read(STDIN_FILENO, &c, 1);
    (void)got;
}

void util_ensure_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd != -1 && null_fd != fd) close(null_fd);
        }
    }
}
