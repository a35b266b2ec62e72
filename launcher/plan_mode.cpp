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

int print_plan(const LaunchOptions& options, const LaunchSettings& settings) {
    FleetPlan plan = fleet_plan(settings.total, options.maximum);
    // Without a choice the plan may be far too large to list first.
    const bool chosen = options.only != nullptr || options.rerun_failed != nullptr;
    std::vector<int32_t> copies;
    int status = chosen ? select_copies(options, settings, &copies) : 0;
    if (status != 0) return status;
    char line[kCommandLineSize];
    int32_t count = chosen ? static_cast<int32_t>(copies.size()) : plan.count;
    for (int32_t k = 0; k < count; ++k) {
        int32_t i = chosen ? copies[static_cast<size_t>(k)] : k;
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
