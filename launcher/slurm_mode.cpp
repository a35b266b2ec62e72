#include <cstdio>
#include <filesystem>
#include <system_error>

#include "modes.h"
#include "own_path.h"

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
        "#SBATCH --array=0-" +
        std::to_string(plan.count - 1) + "\n#\n";
    char line[kCommandLineSize];
    for (int32_t i = 0; i < plan.count; ++i) {
        if (!copy_command_line(s, plan, i, line)) {
            *error = "command line of copy " + std::to_string(i) + " is too long";
            return false;
        }
        text += "# copy " + std::to_string(i) + ": " + printable_argument(line) + "\n";
    }
    text += "cd " + shell_quoted(job.folder) + " || exit 1\n";
    text += "exec " + shell_quoted(job.program) +
            " --copy \"${SLURM_ARRAY_TASK_ID:?is not set: submit this script with sbatch}\"" +
            (job.contain ? " --contain" : "") + " --total=" + std::to_string(s.total) +
            " --seed-id=" + shell_quoted(s.tmpl) + " " + std::to_string(job.maximum) + "\n";
    *script = text;
    return true;
}

int print_slurm_script(const LaunchSettings& settings, int32_t maximum, bool contain) {
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
    std::string script, error;
    if (!slurm_script(SlurmJob{program, folder.string(), settings, maximum, contain}, &script,
                      &error)) {
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
