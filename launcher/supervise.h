// Fleet supervision: prompt, wait for Enter (or the end of input, or a stop
// signal) or for every copy to end, then stop every copy.
#pragma once

#include <cstdint>

#include "fleet_observer.h"
#include "vorn_util.h"

constexpr uint32_t kPollMilliseconds = 1000;

// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows Ctrl+C, Ctrl+Break and
// closing the console) request a stop like the Enter key (the copies sit in
// groups of their own, out of the terminal's reach), and keeps a closed output
// pipe from killing us before the fleet is stopped.
void supervise_install_signal_handlers();

// True once a stop has been asked for, by the key, a signal or the poll.
bool supervise_stop_requested();

// Runs the supervision over `count` handles and returns once every one of
// them has been given to util_process_kill_handle. `observer`, if any, is
// told of every pass, every line printed and every stop.
void supervise(const util_process_handle* handles, int32_t count,
               uint32_t poll_ms = kPollMilliseconds, FleetObserver* observer = nullptr);
