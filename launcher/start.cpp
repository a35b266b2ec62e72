#include "start.h"

#include <cstdio>
#include <cstring>

int32_t start_fleet(const FleetPlan& plan, const char* tmpl, util_process_handle* handles,
                    bool (*stop_requested)(), FleetObserver* observer) {
    char command_line[kCommandLineSize];
    int32_t i = 0;
    for (; i < plan.count && !(stop_requested && stop_requested()); ++i) {
        std::memset(command_line, 0, sizeof command_line);
        FleetCopy copy = fleet_copy(plan, i);
        if (fleet_command_line(command_line, sizeof command_line, tmpl, copy, i)) {
            handles[i] = util_process_cmd_launch_no_wait(command_line);
        } else {
            std::fprintf(stderr, "SpawnBench: command line of copy %d is too long\n", i);
        }
        if (observer) observer->copy_started(i, command_line, handles[i]);
    }
    return i;
}
