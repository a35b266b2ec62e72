// Starts the copies of a fleet plan, one after another.
#pragma once

#include "fleet_observer.h"
#include "plan.h"
#include "vorn_util.h"

// Starts copies 0 to plan.count - 1 with `tmpl` and stores each handle in
// `handles` (plan.count entries, zero-filled). Stops early once
// `stop_requested` returns true, leaving the rest "no process". Returns the
// number of copies it tried to start, each of them told to `observer`.
// Failures are reported on standard error: the first few one by one, then
// how many more there were.
int32_t start_fleet(const FleetPlan& plan, const char* tmpl, util_process_handle* handles,
                    bool (*stop_requested)(), FleetObserver* observer = nullptr);
