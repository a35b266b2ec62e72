#include "supervise.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "vorn_console.h"
#include "vorn_contain.h"

namespace {

// Shared by the main thread, the key thread and the stop-request handler;
// never cleared. Lock-free, so a signal handler may set it.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_stop_request(int) { g_stop.store(true); }

// Any character, the end of input or a read error asks for a stop.
extern "C" void* key_thread(void*) {
    util_wait_for_key();
    g_stop.store(true);
    pthread_exit(nullptr);
    return nullptr;  // winpthreads' pthread_exit is not marked noreturn
}

}  // namespace

void supervise_install_signal_handlers() { util_catch_stop_requests(on_stop_request); }

bool supervise_stop_requested() { return g_stop.load(); }

void supervise(const util_process_handle* handles, int32_t count, uint32_t poll_ms,
               FleetObserver* observer) {
    std::printf("Click enter to exit\n");
    std::fflush(stdout);

    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, key_thread, nullptr);
    if (rc != 0) {
        // Enter could not stop the fleet, so it is stopped at once. Say why:
        // the copies may have taken the last slots under a process limit.
        std::fprintf(stderr, "SpawnBench: cannot wait for Enter: %s; stopping the copies\n",
                     std::strerror(rc));
    } else {
        pthread_detach(thread);
        while (!g_stop.load()) {
            bool any_running = false;
            for (int32_t i = 0; i < count; ++i) {
                // Every handle is asked on every pass.
                any_running = util_is_process_running(handles[i]) || any_running;
            }
            if (count <= 0 || !any_running) {
                if (observer) observer->before_print();
                std::printf("All VORNCore Stopped!\n");
                std::fflush(stdout);
                g_stop.store(true);
            }
            if (observer) observer->pass_done();
            util_sleep_ms(poll_ms);
        }
    }

    for (int32_t i = 0; i < count; ++i) {
        if (observer) observer->stopping(i);
        util_process_kill_handle(handles[i]);
    }
    util_end_descendants();
    if (observer) observer->fleet_stopped();
}
