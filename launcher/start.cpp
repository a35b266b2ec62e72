#include "start.h"

#include <cstdio>
#include <cstring>

namespace {

// Thousands of copies failing alike (no process slots left, say) would bury
// everything else on the terminal: the first few are shown, the rest counted.
constexpr int32_t kShownFailures = 3;

}  // namespace

int32_t start_fleet(const FleetPlan& plan, const char* tmpl, util_process_handle* handles,
                    bool (*stop_requested)(), FleetObserver* observer) {
    char command_line[kCommandLineSize];
    char why[512];
    int32_t failures = 0;
    int32_t i = 0;
    for (; i < plan.count && !(stop_requested && stop_requested()); ++i) {
        std::memset(command_line, 0, sizeof command_line);
        FleetCopy copy = fleet_copy(plan, i);
        if (fleet_command_line(command_line, sizeof command_line, tmpl, copy, i)) {
            handles[i] = util_process_start(command_line, why, sizeof why);
        } else {
            handles[i] = UTIL_NO_PROCESS;
            std::snprintf(why, sizeof why, "command line of copy %d is too long", i);
        }
        if (handles[i] == UTIL_NO_PROCESS && ++failures <= kShownFailures) {
            std::fprintf(stderr, "SpawnBench: %s\n", why);
        }
        if (observer) observer->copy_started(i, command_line, handles[i]);
    }
    if (failures > kShownFailures) {
        std::fprintf(stderr, "SpawnBench: %d more copies could not be started; %d of %d failed\n",
                     failures - kShownFailures, failures, i);
    }
    return i;
}
