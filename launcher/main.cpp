// SpawnBench: starts a fleet of core test copies over contiguous index ranges,
// then waits for Enter or for every copy to end, and stops what still runs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ini.h"
#include "options.h"
#include "plan.h"
#include "start.h"
#include "supervise.h"
#include "vorn_util.h"

namespace {

constexpr const char* kProgram = "SpawnBench";

// With a standard descriptor closed, the next file we open would take its
// number, and the key thread or a copy would read or write that file.
void ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd != -1 && null_fd != fd) close(null_fd);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    ensure_standard_descriptors();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    char tmpl[kTemplateSize];
    std::snprintf(tmpl, sizeof tmpl, "%s", kDefaultTemplate);
    char config_path[256] = "VORNCoreExTest.ini";
    int32_t total = kDefaultTotal;

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

    if (util_is_file_exist(config_path)) {
        char total_text[1024];
        ini_read_value(config_path, "Platform", "total", total_text, sizeof total_text);
        total = parse_total(total_text);

        const char* seed = "";
        if (FILE* stream = std::fopen(config_path, "r")) {
            seed = ini_read_value_stream(stream, "Platform", "seedID");
        } else {
            std::printf("have   no   such   file \n");
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
