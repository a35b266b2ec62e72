// A fleet run: the copies chosen by --only or --rerun-failed, their output
// files made ready, the job log and the JUnit file opened, then supervised.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "modes.h"
#include "output.h"
#include "report.h"
#include "supervise.h"

namespace {

bool read_whole_file(const char* path, std::string* text, std::string* error) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *error = "cannot read job log '" + printable_argument(path) + "': " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
    bool ok = !std::ferror(file);
    std::fclose(file);
    if (!ok) *error = "cannot read job log '" + printable_argument(path) + "'";
    return ok;
}

bool same_file(const char* a, const char* b) {
    std::error_code failed;
    return std::strcmp(a, b) == 0 || std::filesystem::equivalent(a, b, failed);
}

}  // namespace

int select_copies(const LaunchOptions& options, const LaunchSettings& settings,
                  std::vector<int32_t>* copies) {
    FleetPlan plan = fleet_plan(settings.total, options.maximum);
    std::string error;
    copies->clear();
    if (options.only != nullptr) {
        if (!parse_copy_list(options.only, plan.count, copies, &error)) {
            std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
            return 2;
        }
        return 0;
    }
    if (options.rerun_failed != nullptr) {
        std::string text;
        std::vector<std::string> commands;
        char line[kCommandLineSize];
        for (int32_t i = 0; i < plan.count; ++i) {
            if (!copy_command_line(settings, plan, i, line)) return 1;
            commands.emplace_back(line);
        }
        if (!read_whole_file(options.rerun_failed, &text, &error) ||
            !copies_to_rerun(text, options.rerun_failed, commands, copies, &error)) {
            std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
            return 2;
        }
        return 0;
    }
    for (int32_t i = 0; i < plan.count; ++i) copies->push_back(i);
    return 0;
}

int run_fleet(const LaunchOptions& options, const LaunchSettings& settings) {
    FleetJob job;
    job.plan = fleet_plan(settings.total, options.maximum);
    job.tmpl = settings.tmpl;
    job.limits.jobs = options.jobs;
    job.limits.timeout_ms = options.timeout_ms;
    job.limits.retries = options.retries;
    job.output = options.output;
    job.tag = options.tag;
    job.poll_ms = supervise_poll_ms();
    FleetReport report;
    try {
        int status = select_copies(options, settings, &job.copies);
        if (status != 0) return status;
        if (!report.track(job.copies)) throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "SpawnBench: cannot allocate handles for %d copies\n", job.plan.count);
        return 1;
    }
    if (options.rerun_failed != nullptr && job.copies.empty()) {
        std::printf("SpawnBench: no copy is left to run: each one passed in job log '%s'\n",
                    printable_argument(options.rerun_failed).c_str());
        return 0;
    }

    std::string error;
    // The log of a rerun goes on in the same file, so that it holds the whole
    // campaign.
    bool append = options.joblog != nullptr && options.rerun_failed != nullptr &&
                  same_file(options.joblog, options.rerun_failed);
    if (options.joblog != nullptr && !report.open_joblog(options.joblog, append, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        return 2;
    }
    if (options.junit != nullptr && !report.open_junit(options.junit, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        return 2;
    }
    if (!job.output.empty() && !make_output_files(job.output, job.copies, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", printable_argument(error.c_str()).c_str());
        return 2;
    }

    // A stop signal from now on stops the fleet instead of orphaning it.
    supervise_install_signal_handlers();
    int status = supervise(job, &report);
    return status != 0 ? status : report.exit_status(options.strict);
}
