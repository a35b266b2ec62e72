#include <cstdio>
#include <filesystem>
#include <system_error>

#include "modes.h"
#include "output.h"
#include "own_path.h"
#include "schedule.h"

namespace {

// Single quotes keep every byte as it is, except a quote itself.
std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

bool slurm_script(const SlurmJob& job, std::string* script, std::string* error) {
    const LaunchSettings& s = job.settings;
    FleetPlan plan = fleet_plan(s.total, job.maximum);
    std::string array =
        job.copies.empty() ? "0-" + std::to_string(plan.count - 1) : format_copy_list(job.copies);
    if (job.jobs > 0) array += "%" + std::to_string(job.jobs);
    std::string options;
    std::string directives;
    if (job.timeout_ms > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f",
                      static_cast<double>(job.timeout_ms) / 1000.0);
        options += std::string(" --timeout=") + seconds;
        // Slurm counts whole minutes, and the task has every try to run.
        int64_t minutes = (job.timeout_ms * (job.retries + 1) + 59999) / 60000;
        directives += "#SBATCH --time=" + std::to_string(minutes) + "\n";
    }
    if (job.retries > 0) options += " --retries=" + std::to_string(job.retries);
    if (job.contain) options += " --contain";
    if (!job.output.empty()) {
        std::string pattern = slurm_output_pattern(job.output);
        if (pattern[0] != '/') pattern = job.folder + "/" + pattern;
        if (pattern.find('\n') != std::string::npos) {
            *error = "output pattern '" + printable_argument(job.output.c_str()) +
                     "' holds a line break";
            return false;
        }
        directives += "#SBATCH --output=" + pattern + "\n";
    }
    if (plan.count <= 0) {
        *error = "the plan has no copies, so there is nothing to submit";
        return false;
    }
    if (plan.count > kSlurmMaxArrayTasks) {
        int64_t fitting =
            (static_cast<int64_t>(s.total) + kSlurmMaxArrayTasks - 1) / kSlurmMaxArrayTasks;
        *error = std::to_string(plan.count) + " copies do not fit one Slurm job array of " +
                 std::to_string(kSlurmMaxArrayTasks) + " tasks; give a maximum of " +
                 std::to_string(fitting) + " or more";
        return false;
    }
    std::string text =
        "#!/bin/sh\n"
        "# SpawnBench's fleet as a Slurm job array, one task per copy:\n# " +
        std::to_string(plan.count) + " copies over " + std::to_string(s.total) +
        " indices, at most " + std::to_string(job.maximum) +
        " a copy.\n"
        "# The plan is frozen here: each task runs its copy with the settings below,\n"
        "# whatever the INI says by then, in the folder below.\n"
        "#SBATCH --job-name=SpawnBench\n"
        "#SBATCH --array=" +
        array + "\n" + directives + "#\n";
    char line[kCommandLineSize];
    for (int32_t k = 0;
         k < (job.copies.empty() ? plan.count : static_cast<int32_t>(job.copies.size())); ++k) {
        int32_t i = job.copies.empty() ? k : job.copies[static_cast<size_t>(k)];
        if (!copy_command_line(s, plan, i, line)) {
            *error = "command line of copy " + std::to_string(i) + " is too long";
            return false;
        }
        text += "# copy " + std::to_string(i) + ": " + printable_argument(line) + "\n";
    }
    text += "cd " + shell_quoted(job.folder) + " || exit 1\n";
    text += "exec " + shell_quoted(job.program) +
            " --copy \"${SLURM_ARRAY_TASK_ID:?is not set: submit this script with sbatch}\"" +
            " --total=" + std::to_string(s.total) + " --seed-id=" + shell_quoted(s.tmpl) + options +
            " " + std::to_string(job.maximum) + "\n";
    *script = text;
    return true;
}

int print_slurm_script(const LaunchOptions& options, const LaunchSettings& settings) {
    const int32_t maximum = options.maximum;
    char program[4096];
    if (!util_own_path(program, sizeof program)) {
        std::fprintf(stderr, "SpawnBench: cannot tell where this program is\n");
        return 1;
    }
    std::error_code failed;
    std::filesystem::path folder = std::filesystem::current_path(failed);
    if (failed) {
        std::fprintf(stderr, "SpawnBench: cannot tell the current folder: %s\n",
                     failed.message().c_str());
        return 1;
    }
    SlurmJob job;
    job.program = program;
    job.folder = folder.string();
    job.settings = settings;
    job.maximum = maximum;
    job.jobs = options.jobs;
    job.timeout_ms = options.timeout_ms;
    job.retries = options.retries;
    job.output = options.output;
    job.contain = options.contain;
    if (options.only != nullptr || options.rerun_failed != nullptr) {
        int status = select_copies(options, settings, &job.copies);
        if (status != 0) return status;
        if (job.copies.empty()) {
            std::fprintf(stderr,
                         "SpawnBench: no copy is left to run: each one passed in job log '%s'\n",
                         printable_argument(options.rerun_failed).c_str());
            return 0;
        }
    }
    std::string script, error;
    if (!slurm_script(job, &script, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        // Too many copies is the maximum's fault; none at all, the INI's.
        return fleet_plan(settings.total, maximum).count > 0 ? 2 : 1;
    }
    std::fputs(script.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "SpawnBench: cannot write the script\n");
        return 1;
    }
    return 0;
}
