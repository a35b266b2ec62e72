// The stop requests of util_catch_stop_requests, noted by number: on Windows
// the console's events stand for SIGINT, SIGBREAK and SIGTERM.
#include "stop_signals.h"

#include <atomic>

#include "vorn_console.h"
#include "vorn_stream.h"

namespace {

std::atomic<int> g_caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

void note_stop_request(int signal_number) {
    g_caught.store(signal_number);
    util_wake();
}

}  // namespace

void util_catch_stop_signals() { util_catch_stop_requests(note_stop_request); }

int util_caught_stop_signal() { return g_caught.load(); }
