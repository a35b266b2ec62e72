#include <cerrno>
#include <cstdio>
#include <cstring>

#include "modes.h"

bool copy_command_line(const LaunchSettings& settings, const FleetPlan& plan, int32_t index,
                       char (&line)[kCommandLineSize]) {
    if (fleet_command_line(line, sizeof line, settings.tmpl, fleet_copy(plan, index), index)) {
        return true;
    }
    std::fprintf(stderr, "SpawnBench: command line of copy %d is too long\n", index);
    return false;
}

int print_plan(const LaunchSettings& settings, int32_t maximum) {
    FleetPlan plan = fleet_plan(settings.total, maximum);
    char line[kCommandLineSize];
    for (int32_t i = 0; i < plan.count; ++i) {
        if (!copy_command_line(settings, plan, i, line)) return 1;
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "SpawnBench: cannot write the plan: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
