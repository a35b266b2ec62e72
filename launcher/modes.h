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

// Runs the fleet here and supervises it; returns the exit status.
int run_fleet(const LaunchOptions& options, const LaunchSettings& settings);

// Formats copy `index`'s command line into `line` as a run would start it;
// reports a line that does not fit.
bool copy_command_line(const LaunchSettings& settings, const FleetPlan& plan, int32_t index,
                       char (&line)[kCommandLineSize]);

// Prints the command line of every copy that a run would take on (see
// select_copies), one a line, in copy order.
int print_plan(const LaunchOptions& options, const LaunchSettings& settings);

// Starts copy options.copy of the plan as a run would, waits for it and ends
// with its exit status, or 128 plus the number of the signal that ended it. A
// stop signal is passed on to the copy's process group, and a copy still there
// kCopyGraceMs later is killed. Whatever the copy started in its group is
// killed once it ends. An index outside the plan is a usage error (2); a copy
// that cannot be started gives 127; one stopped for its --timeout, 124. A
// failed try is tried again as --retries allows. --output and --tag send its
// output as a run would.
constexpr uint32_t kCopyGraceMs = 3000;
int run_copy(const LaunchOptions& options, const LaunchSettings& settings);

// A default Slurm cluster takes job arrays of at most this many tasks
// (MaxArraySize).
constexpr int32_t kSlurmMaxArrayTasks = 1001;

struct SlurmJob {
    std::string program;  // the SpawnBench each task runs
    std::string folder;   // where the copies run
    LaunchSettings settings;
    int32_t maximum = kDefaultMaximum;
    std::vector<int32_t> copies;  // the array's tasks; empty: every copy
    int32_t jobs = 0;             // at most this many tasks at once (%N)
    int64_t timeout_ms = 0;       // each try's; the task's time covers every try
    int32_t retries = 0;
    std::string output;    // --output PATTERN, relative to `folder`
    bool contain = false;  // each task runs its copy with --contain
};

// The batch script that runs the plan as one job array, task i running copy
// i through `program --copy i` with the settings written into it. False, with
// a one-line message, for a plan with no copies or too many for one array.
bool slurm_script(const SlurmJob& job, std::string* script, std::string* error);

// Prints slurm_script for this program, the current folder and the options.
int print_slurm_script(const LaunchOptions& options, const LaunchSettings& settings);
