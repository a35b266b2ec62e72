#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "joblog_file.h"
#include "modes.h"
#include "output.h"
#include "own_path.h"
#include "schedule.h"
#include "vorn_util.h"

namespace {

// A cluster that does not answer by then is taken to have the default.
constexpr int64_t kScontrolPatienceMs = 3000;

// Single quotes keep every byte as it is, except a quote itself.
std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// `scontrol show config`'s text, or empty if it cannot be had in time.
std::string slurm_config() {
    util_stream out = UTIL_NO_STREAM, err = UTIL_NO_STREAM;
    util_start_options start;
    start.out_stream = &out;
    start.err_stream = &err;
    char why[256];
    util_process_handle handle =
        util_process_start_with("scontrol show config", start, why, sizeof why);
    if (handle == UTIL_NO_PROCESS) return std::string();
    // Its complaints (no controller) are not ours to show.
    if (err != UTIL_NO_STREAM) util_stream_close(err);
    std::string text;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kScontrolPatienceMs);
    char buffer[4096];
    bool finished = false, failed = out == UTIL_NO_STREAM;
    while (!finished && !failed && std::chrono::steady_clock::now() < deadline) {
        bool ready = false;
        util_wait(&out, 1, &ready, 50);
        int64_t got;
        while ((got = util_stream_read(out, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(got));
        finished = got == 0;
        failed = got < 0 && got != -EAGAIN;
    }
    if (out != UTIL_NO_STREAM) util_stream_close(out);
    util_process_kill_handle(handle);
    return finished ? text : std::string();
}

// Slurm counts whole minutes in a number it can hold; beyond that, no limit.
std::string slurm_minutes(int64_t group, int64_t try_ms, int32_t tries) {
    constexpr int64_t kMostMinutes = INT32_MAX;
    const int64_t per_copy = try_ms * tries;  // at most 30 days times 101
    if (group > (kMostMinutes * 60000) / per_copy) return "UNLIMITED";
    return std::to_string((group * per_copy + 59999) / 60000);
}

}  // namespace

FleetPlan slurm_groups(int32_t count, int32_t max_tasks) {
    if (count <= 0 || max_tasks <= 0) return FleetPlan{0, 0, 0};
    const int32_t tasks = count < max_tasks ? count : max_tasks;
    return FleetPlan{tasks, count / tasks, count % tasks};
}

bool parse_max_array_size(const std::string& config, int32_t* size) {
    for (size_t begin = 0; begin < config.size();) {
        size_t end = config.find('\n', begin);
        if (end == std::string::npos) end = config.size();
        const std::string line = config.substr(begin, end - begin);
        begin = end + 1;
        if (line.compare(0, 12, "MaxArraySize") != 0) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos || line.find_first_not_of(' ', 12) != equals) continue;
        long long value = 0;
        char rest = 0;
        if (std::sscanf(line.c_str() + equals + 1, " %lld %c", &value, &rest) != 1 || value < 0 ||
            value > INT32_MAX)
            return false;
        *size = static_cast<int32_t>(value);
        return true;
    }
    return false;
}

bool slurm_script(const SlurmJob& job, std::string* script, std::string* error) {
    const LaunchSettings& s = job.settings;
    const FleetPlan plan = fleet_plan(s.total, job.maximum);
    const bool listed = !job.copies.empty();
    const int32_t count = listed ? static_cast<int32_t>(job.copies.size()) : plan.count;
    if (count <= 0) {
        *error = "the plan has no copies, so there is nothing to submit";
        return false;
    }
    if (job.max_array <= 0) {
        *error = "this Slurm cluster takes no job arrays (MaxArraySize=0)";
        return false;
    }
    // Task ids must stay below MaxArraySize: one task per copy, the copy's
    // number its id, only while every number does.
    const int32_t highest = listed ? job.copies.back() : plan.count - 1;
    const bool one_each = highest < job.max_array;
    const FleetPlan groups = slurm_groups(count, one_each ? count : job.max_array);
    const int64_t longest = groups.share + (groups.extra > 0 ? 1 : 0);
    auto copy_at = [&](int32_t k) { return listed ? job.copies[static_cast<size_t>(k)] : k; };

    std::string array =
        one_each ? (listed ? format_copy_list(job.copies) : "0-" + std::to_string(plan.count - 1))
                 : "0-" + std::to_string(groups.count - 1);
    if (job.jobs > 0) array += "%" + std::to_string(job.jobs);
    std::string options;
    std::string directives;
    if (job.timeout_ms > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f",
                      static_cast<double>(job.timeout_ms) / 1000.0);
        options += std::string(" --timeout=") + seconds;
        // Slurm counts whole minutes, and the task has every try of every
        // copy of its group to run.
        directives +=
            "#SBATCH --time=" + slurm_minutes(longest, job.timeout_ms, job.retries + 1) + "\n";
    }
    if (job.retries > 0) options += " --retries=" + std::to_string(job.retries);
    if (job.contain) options += " --contain";
    if (!job.output.empty()) {
        if (one_each) {
            std::string pattern = slurm_output_pattern(job.output);
            if (pattern[0] != '/') pattern = job.folder + "/" + pattern;
            if (pattern.find('\n') != std::string::npos) {
                *error = "output pattern '" + printable_argument(job.output.c_str()) +
                         "' holds a line break";
                return false;
            }
            directives += "#SBATCH --output=" + pattern + "\n";
        } else {
            // A task holds many copies: each writes a file of its own.
            options += " --output=" + shell_quoted(job.output);
        }
    }
    if (!job.joblog.empty()) options += " --joblog=" + shell_quoted(job.joblog);

    const std::string settings =
        " --total=" + std::to_string(s.total) + " --seed-id=" + shell_quoted(s.tmpl);
    std::string text = "#!/bin/sh\n# SpawnBench's fleet as a Slurm job array, ";
    text += one_each ? std::string("one task per copy:\n# ")
                     : "each of its " + std::to_string(groups.count) +
                           " tasks running its\n# copies (at most " + std::to_string(longest) +
                           ") one after the other: ";
    text += (listed ? std::to_string(count) + " chosen of " : std::string()) +
            std::to_string(plan.count) + " copies over " + std::to_string(s.total) +
            " indices, at most " + std::to_string(job.maximum) +
            " a copy.\n"
            "# The plan is frozen here: each task runs its copies with the settings below,\n"
            "# whatever the INI says by then, in the folder below.\n"
            "#SBATCH --job-name=SpawnBench\n"
            "#SBATCH --array=" +
            array + "\n" + directives + "#\n";
    if (count <= kSlurmListedCopies) {
        char line[kCommandLineSize];
        for (int32_t k = 0; k < count; ++k) {
            const int32_t i = copy_at(k);
            if (!copy_command_line(s, plan, i, line)) {
                *error = "command line of copy " + std::to_string(i) + " is too long";
                return false;
            }
            text += "# copy " + std::to_string(i) + ": " + printable_argument(line) + "\n";
        }
    } else {
        text += "# The copies' command lines: " + shell_quoted(job.program) + " --plan" + settings +
                (listed ? " --only LIST" : "") + " " + std::to_string(job.maximum) + "\n";
    }
    text += "cd " + shell_quoted(job.folder) + " || exit 1\n";
    const std::string task = "${SLURM_ARRAY_TASK_ID:?is not set: submit this script with sbatch}";
    if (one_each) {
        text += "copies=" + task + "\n";
    } else if (!listed) {
        // Task t runs `share` copies from t * share + min(t, extra) on, one
        // more while t < extra.
        const std::string share = std::to_string(groups.share);
        const std::string extra = std::to_string(groups.extra);
        text += "t=" + task + "\n";
        if (groups.extra == 0) {
            text += "first=$((t * " + share + "))\ncopies=$first-$((first + " +
                    std::to_string(groups.share - 1) + "))\n";
        } else {
            text += "first=$((t * " + share + " + (t < " + extra + " ? t : " + extra +
                    ")))\ncopies=$first-$((first + " + share + " - (t < " + extra + " ? 0 : 1)))\n";
        }
    } else {
        text += "case " + task + " in\n";
        std::vector<int32_t> group;
        for (int32_t t = 0; t < groups.count; ++t) {
            const FleetCopy g = fleet_copy(groups, t);
            group.assign(job.copies.begin() + g.start, job.copies.begin() + g.start + g.share);
            text += std::to_string(t) + ") copies=" + format_copy_list(group) + " ;;\n";
        }
        text += "esac\n";
    }
    text += "exec " + shell_quoted(job.program) + " --copy \"${copies:?has no copies}\"" +
            settings + options + " " + std::to_string(job.maximum) + "\n";
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
    if (options.joblog != nullptr)
        job.joblog = (folder / options.joblog).lexically_normal().string();
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
    std::string config = slurm_config();
    if (!parse_max_array_size(config, &job.max_array)) job.max_array = kSlurmMaxArrayTasks;
    std::string script, error;
    if (!slurm_script(job, &script, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        // No copies at all is the INI's fault; no arrays, the cluster's.
        return 1;
    }
    // As a run does, unless the tasks add to the log being rerun.
    const bool append = options.joblog != nullptr && options.rerun_failed != nullptr &&
                        same_file(options.joblog, options.rerun_failed);
    if (options.joblog != nullptr && !append && !start_joblog(options.joblog, &error)) {
        std::fprintf(stderr, "SpawnBench: %s\n", error.c_str());
        return 2;
    }
    std::fputs(script.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "SpawnBench: cannot write the script\n");
        return 1;
    }
    return 0;
}
