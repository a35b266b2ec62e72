// A fleet run: the copies chosen by --only or --rerun-failed, their output
// files made ready, the job log, the JUnit file and the page opened, then
// supervised.
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

bool same_file(const char* a, const char* b) {
    std::error_code failed;
    return std::strcmp(a, b) == 0 || std::filesystem::equivalent(a, b, failed);
}

bool read_whole_file(const char* path, const char* what, std::string* text, std::string* error) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *error = std::string("cannot read ") + what + " '" + printable_argument(path) +
                 "': " + std::strerror(errno);
        return false;
    }
    // Sized at once: a campaign's log may hold a million lines.
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long size = std::ftell(file);
        if (size > 0) text->reserve(static_cast<size_t>(size));
        std::rewind(file);
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
    bool ok = !std::ferror(file);
    std::fclose(file);
    if (!ok) *error = std::string("cannot read ") + what + " '" + printable_argument(path) + "'";
    return ok;
}

bool read_campaign(const LaunchOptions& options, const LaunchSettings& settings, const char* path,
                   std::vector<CopyRecord>* copies) {
    std::string text, error;
    FleetPlan plan = fleet_plan(settings.total, options.maximum);
    try {
        if (!read_whole_file(path, "job log", &text, &error) ||
            !read_joblog(text, path, plan, settings.tmpl, copies, &error)) {
            std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
            return false;
        }
    } catch (const std::bad_alloc&) {
        // A plan of a billion copies, say.
        std::fprintf(stderr,
                     "SpawnBench: cannot hold the record of %d copies to read job log '%s'\n",
                     plan.count, printable_argument(path).c_str());
        return false;
    }
    return true;
}

int select_copies(const LaunchOptions& options, const LaunchSettings& settings,
                  std::vector<int32_t>* copies, std::vector<CopyRecord>* history) {
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
        std::vector<CopyRecord> campaign;
        if (!read_campaign(options, settings, options.rerun_failed, &campaign)) return 2;
        *copies = copies_to_rerun(campaign);
        if (history != nullptr) *history = std::move(campaign);
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
    job.limits.max_failures = options.max_failures;
    job.output = options.output;
    job.tag = options.tag;
    job.poll_ms = supervise_poll_ms();
    FleetReport report;
    // The log of a rerun goes on in the same file, so that it holds the whole
    // campaign, and so do JUnit and the page.
    bool append = options.joblog != nullptr && options.rerun_failed != nullptr &&
                  same_file(options.joblog, options.rerun_failed);
    try {
        std::vector<CopyRecord> history;
        int status = select_copies(options, settings, &job.copies, append ? &history : nullptr);
        if (status != 0) return status;
        if (!report.track(job.copies)) throw std::bad_alloc();
        if (append) report.set_history(std::move(history));
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
    if (options.joblog != nullptr && !report.open_joblog(options.joblog, append, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        return 2;
    }
    if (options.junit != nullptr && !report.open_junit(options.junit, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        return 2;
    }
    if (options.html != nullptr && !report.open_html(options.html, &error)) {
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
