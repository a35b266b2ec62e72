// The modes that hand the fleet plan to something else instead of running it
// here: the plan as lines, one copy in the foreground, a Slurm job array.
// Each returns the program's exit status.
#pragma once

#include <cstdint>
#include <string>

#include "plan.h"
#include "settings.h"

// Formats copy `index`'s command line into `line` as a run would start it;
// reports a line that does not fit.
bool copy_command_line(const LaunchSettings& settings, const FleetPlan& plan, int32_t index,
                       char (&line)[kCommandLineSize]);

// Prints every copy's command line, one a line, in copy order.
int print_plan(const LaunchSettings& settings, int32_t maximum);

// Starts copy `index` of the plan as a run would, waits for it and ends with
// its exit status, or 128 plus the number of the signal that ended it. A stop
// signal is passed on to the copy's process group, and a copy still there
// kCopyGraceMs later is killed. Whatever the copy started in its group is
// killed once it ends. An index outside the plan is a usage error (2); a copy
// that cannot be started gives 127.
constexpr uint32_t kCopyGraceMs = 3000;
int run_copy(const LaunchSettings& settings, int32_t maximum, int32_t index);

// A default Slurm cluster takes job arrays of at most this many tasks
// (MaxArraySize).
constexpr int32_t kSlurmMaxArrayTasks = 1001;

struct SlurmJob {
    std::string program;  // the SpawnBench each task runs
    std::string folder;   // where the copies run
    LaunchSettings settings;
    int32_t maximum;
    bool contain = false;  // each task runs its copy with --contain
};

// The batch script that runs the plan as one job array, task i running copy
// i through `program --copy i` with the settings written into it. False, with
// a one-line message, for a plan with no copies or too many for one array.
bool slurm_script(const SlurmJob& job, std::string* script, std::string* error);

// Prints slurm_script for this program and the current folder.
int print_slurm_script(const LaunchSettings& settings, int32_t maximum, bool contain = false);
