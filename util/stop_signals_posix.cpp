#include <signal.h>

#include <atomic>
#include <initializer_list>

#include "stop_signals.h"

namespace {

std::atomic<int> g_caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

extern "C" void note_stop_signal(int signal_number) { g_caught.store(signal_number); }

}  // namespace

void util_catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int util_caught_stop_signal() { return g_caught.load(); }
