// SpawnBench: starts a fleet of core test copies over contiguous index ranges,
// then waits for Enter or for every copy to end, and stops what still runs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ini.h"
#include "plan.h"
#include "start.h"
#include "supervise.h"
#include "vorn_console.h"
#include "vorn_util.h"

namespace {

constexpr const char* kProgram = "SpawnBench";

void print_usage() {
    std::printf(
        "usage: %s [maximum]\n"
        "Starts copies of %s over the total of indices in VORNCoreExTest.ini\n"
        "(section Platform, keys total and seedID), at most `maximum` indices per\n"
        "copy (default %d, from 1 to 2147483647). Press Enter to stop them.\n",
        kProgram, kCoreTestProgram, kDefaultMaximum);
}

// The argument as it can be shown on one line: control characters become '?'.
std::string printable(const char* text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

}  // namespace

int main(int argc, char** argv) {
    util_ensure_standard_streams();
    // Not every C runtime has line buffering, so each line is flushed too.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    char tmpl[kTemplateSize];
    std::snprintf(tmpl, sizeof tmpl, "%s", kDefaultTemplate);
    char config_path[256] = "VORNCoreExTest.ini";
    int32_t total = kDefaultTotal;
    int32_t maximum = kDefaultMaximum;

    if (argc > 1) {
        if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
            print_usage();
            return 0;
        }
        if (!parse_maximum(argv[1], &maximum)) {
            std::fprintf(stderr,
                         "%s: invalid maximum '%s': expected a number from 1 to 2147483647\n",
                         kProgram, printable(argv[1]).c_str());
            return 2;
        }
    }

    if (util_is_file_exist(config_path)) {
        char total_text[1024];
        ini_read_value(config_path, "Platform", "total", total_text, sizeof total_text);
        total = parse_total(total_text);

        const char* seed = "";
        if (FILE* stream = std::fopen(config_path, "r")) {
            seed = ini_read_value_stream(stream, "Platform", "seedID");
        } else {
            std::printf("have   no   such   file \n");
            std::fflush(stdout);
        }
        size_t seed_length = std::strlen(seed);
        if (seed_length >= sizeof tmpl) {
            std::fprintf(stderr, "%s: seedID in %s is %zu characters long; at most %zu fit\n",
                         kProgram, config_path, seed_length, sizeof tmpl - 1);
            return 2;
        }
        std::memcpy(tmpl, seed, seed_length + 1);
    }

    // A stop signal from now on stops the fleet instead of orphaning it.
    supervise_install_signal_handlers();

    FleetPlan plan = fleet_plan(total, maximum);
    util_process_handle* handles = nullptr;
    if (plan.count > 0) {
        handles = static_cast<util_process_handle*>(
            std::calloc(static_cast<size_t>(plan.count), sizeof *handles));
        if (handles == nullptr) {
            std::fprintf(stderr, "%s: cannot allocate handles for %d copies\n", kProgram,
                         plan.count);
            return 1;
        }
        // A stop requested while starting leaves the rest unstarted.
        start_fleet(plan, tmpl, handles, supervise_stop_requested);
    }

    supervise(handles, plan.count);
    std::free(handles);
    return 0;
}
