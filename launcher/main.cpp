// SpawnBench: starts a fleet of core test copies over contiguous index ranges,
// then waits for Enter or for every copy to end, and stops what still runs.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "modes.h"
#include "options.h"
#include "plan.h"
#include "report.h"
#include "settings.h"
#include "start.h"
#include "supervise.h"
#include "vorn_console.h"
#include "vorn_contain.h"
#include "vorn_util.h"

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
    const int32_t maximum = options.maximum;

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
            return print_plan(settings, maximum);
        case LaunchMode::kCopy:
            return run_copy(settings, maximum, options.copy);
        case LaunchMode::kSlurm:
            return print_slurm_script(settings, maximum, options.contain);
        case LaunchMode::kRun:
            break;
    }

    FleetReport report;
    if (options.joblog != nullptr && !report.open_joblog(options.joblog, &error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 2;
    }

    // A stop signal from now on stops the fleet instead of orphaning it.
    supervise_install_signal_handlers();

    FleetPlan plan = fleet_plan(settings.total, maximum);
    util_process_handle* handles = nullptr;
    if (plan.count > 0) {
        handles = static_cast<util_process_handle*>(
            std::calloc(static_cast<size_t>(plan.count), sizeof *handles));
        if (handles == nullptr || !report.track(plan.count)) {
            std::fprintf(stderr, "%s: cannot allocate handles for %d copies\n", kProgram,
                         plan.count);
            std::free(handles);
            return 1;
        }
        // A stop requested while starting leaves the rest unstarted.
        start_fleet(plan, settings.tmpl, handles, supervise_stop_requested, &report);
    }

    supervise(handles, plan.count, kPollMilliseconds, &report);
    std::free(handles);
    return report.exit_status(options.strict);
}
