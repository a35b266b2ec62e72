// The modes that hand the fleet plan to something else instead of running it
// here: the plan as lines, one copy in the foreground, a Slurm job array.
// Each returns the program's exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "plan.h"
#include "record.h"
#include "settings.h"

// The copies of the plan that a run takes on: all of them, those of --only,
// or those that --rerun-failed finds left; then `history`, if given, gets
// the job log's record of the whole plan. Returns 0, or the exit status
// after a one-line message (2 for a bad list or job log).
int select_copies(const LaunchOptions& options, const LaunchSettings& settings,
                  std::vector<int32_t>* copies, std::vector<CopyRecord>* history = nullptr);

// Reads job log `path` of the plan into `copies`, one record per copy; false
// after a one-line message if it cannot.
bool read_campaign(const LaunchOptions& options, const LaunchSettings& settings, const char* path,
                   std::vector<CopyRecord>* copies);

// Reads a whole file into `text`; false with a one-line message naming it as
// `what` ("job log") and the file.
bool read_whole_file(const char* path, const char* what, std::string* text, std::string* error);

// Writes --junit and --html for the campaign in job log options.report (the
// --report mode), starting nothing. 2 for a job log that cannot be read or
// is not this plan's; 1 if a file cannot be written, or with --strict a
// copy failed.
int report_campaign(const LaunchOptions& options, const LaunchSettings& settings);

// True if the paths name one file (the same text, or one file by two names).
bool same_file(const char* a, const char* b);

// Runs the fleet here and supervises it; returns the exit status.
int run_fleet(const LaunchOptions& options, const LaunchSettings& settings);

// Formats copy `index`'s command line into `line` as a run would start it;
// reports a line that does not fit.
bool copy_command_line(const LaunchSettings& settings, const FleetPlan& plan, int32_t index,
                       char (&line)[kCommandLineSize]);

// Prints the command line of every copy that a run would take on (see
// select_copies), one a line, in copy order.
int print_plan(const LaunchOptions& options, const LaunchSettings& settings);

// Runs the copies of options.copy (a list such as 3,7-9) one after the other
// in copy order, each as a run would start it, waits for it and ends with the
// exit status of the last copy that failed: its status, or 128 plus the
// number of the signal that ended it. A stop signal is passed on to the
// running copy's process group, a copy still there kCopyGraceMs later is
// killed, and the copies after it are not started. Whatever a copy started in
// its group is killed once it ends. A copy outside the plan is a usage error
// (2); a copy that cannot be started gives 127; one stopped for its
// --timeout, 124. A failed try is tried again as --retries allows. --output
// and --tag send its output as a run would. With --joblog each try adds its
// line to the file, which may be shared with other processes; a file that is
// not a job log is refused (2) before any copy starts.
constexpr uint32_t kCopyGraceMs = 3000;
int run_copy(const LaunchOptions& options, const LaunchSettings& settings);

// A default Slurm cluster takes job arrays of at most this many tasks, with
// task ids below it (MaxArraySize).
constexpr int32_t kSlurmMaxArrayTasks = 1001;

// Up to this many copies, the script lists each one's command line.
constexpr int32_t kSlurmListedCopies = 32;

struct SlurmJob {
    std::string program;  // the SpawnBench each task runs
    std::string folder;   // where the copies run
    LaunchSettings settings;
    int32_t maximum = kDefaultMaximum;
    std::vector<int32_t> copies;              // the copies to run, in order; empty: every copy
    int32_t max_array = kSlurmMaxArrayTasks;  // the cluster's MaxArraySize
    int32_t jobs = 0;                         // at most this many tasks at once (%N)
    int64_t timeout_ms = 0;                   // each try's; the task's time covers every try
    int32_t retries = 0;
    std::string output;    // --output PATTERN, relative to `folder`
    std::string joblog;    // the job log's absolute path, or empty
    bool contain = false;  // each task runs its copies with --contain
};

// How --slurm spreads `count` copies over one array of at most `max_tasks`
// tasks: `count` tasks while they fit, else `max_tasks` contiguous groups in
// copy order, as even as can be. As a plan: the tasks, each group's copies,
// and how many groups have one more; fleet_copy() gives a task's group.
FleetPlan slurm_groups(int32_t count, int32_t max_tasks);

// The batch script that runs the plan (or job.copies) as one job array: each
// task runs its copy, or its group of copies one after the other, through
// `program --copy` with the settings written into it. False, with a one-line
// message, for a plan with no copies or a cluster that takes no arrays.
bool slurm_script(const SlurmJob& job, std::string* script, std::string* error);

// The MaxArraySize in `scontrol show config`'s text; false if it names none.
bool parse_max_array_size(const std::string& config, int32_t* size);

// Prints slurm_script for this program, the current folder, the options and
// the cluster's MaxArraySize (kSlurmMaxArrayTasks when scontrol does not
// answer). With --joblog it creates or empties the job log first, unless
// --rerun-failed names the same file, whose lines the tasks then add to.
int print_slurm_script(const LaunchOptions& options, const LaunchSettings& settings);
