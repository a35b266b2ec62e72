// SpawnBench: starts a fleet of core test copies over contiguous index ranges,
// then waits for Enter or for every copy to end, and stops what still runs.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "modes.h"
#include "options.h"
#include "settings.h"
#include "version.h"
#include "vorn_console.h"
#include "vorn_contain.h"

namespace {

constexpr const char* kProgram = "SpawnBench";

}  // namespace

int main(int argc, char** argv) {
    util_ensure_standard_streams();
    // Not every C runtime has line buffering, so each line is flushed too.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    LaunchOptions options;
    std::string error;
    if (!parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(options_usage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", kProgram, kVornVersion);
        return 0;
    }
    // The other modes keep standard output for their data.
    LaunchSettings settings;
    FILE* notices = options.mode == LaunchMode::kRun ? stdout : stderr;
    if (!read_settings(options, notices, &settings, &error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 2;
    }
    // Before anything is started and before any thread; a Slurm task does it.
    if (options.contain && options.mode != LaunchMode::kSlurm) util_contain_fleet();
    switch (options.mode) {
        case LaunchMode::kPlan:
            return print_plan(options, settings);
        case LaunchMode::kCopy:
            return run_copy(options, settings);
        case LaunchMode::kSlurm:
            return print_slurm_script(options, settings);
        case LaunchMode::kReport:
            return report_campaign(options, settings);
        case LaunchMode::kRun:
            break;
    }

    return run_fleet(options, settings);
}
