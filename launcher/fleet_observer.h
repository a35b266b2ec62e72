// Told what happens to the copies while they are started and supervised, so
// that a report can follow them. Every call comes from the main thread.
#pragma once

#include <cstdint>

#include "vorn_util.h"

class FleetObserver {
public:
    virtual ~FleetObserver() = default;
    // Copy `index` was given to the process layer: `handle` is UTIL_NO_PROCESS
    // if it could not be started.
    virtual void copy_started(int32_t index, const char* command_line,
                              util_process_handle handle) = 0;
    // A poll pass has asked about every copy.
    virtual void pass_done() = 0;
    // Another line is about to be printed.
    virtual void before_print() = 0;
    // Copy `index` is about to be stopped.
    virtual void stopping(int32_t index) = 0;
    // Every copy has been stopped.
    virtual void fleet_stopped() = 0;
};
