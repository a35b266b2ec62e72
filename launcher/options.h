// SpawnBench's command line: options, then the per-copy maximum as the first
// plain argument. Further plain arguments are ignored.
#pragma once

#include <cstdint>
#include <string>

#include "plan.h"

// What the run does with the fleet plan.
enum class LaunchMode {
    kRun,     // start every copy here and supervise them
    kPlan,    // print every copy's command line
    kCopy,    // run copies one after the other in the foreground
    kSlurm,   // print a batch script that runs the plan as a Slurm job array
    kReport,  // write JUnit and the page from a job log
};

struct LaunchOptions {
    bool help = false;
    bool version = false;
    int32_t maximum = kDefaultMaximum;
    LaunchMode mode = LaunchMode::kRun;
    const char* copy = nullptr;  // kCopy's list, within argv; checked against the plan
    // Values given on the command line take the place of the INI's.
    bool has_total = false;
    int32_t total = 0;
    bool has_seed_id = false;
    std::string seed_id;
    const char* joblog = nullptr;  // --joblog FILE, within argv
    bool strict = false;           // --strict: exit status 1 if a copy failed
    // Where the copies' output goes: files (--output PATTERN) or tagged lines.
    std::string output;
    bool tag = false;
    // The campaign: at most `jobs` at once (0: all), a time-out, more tries.
    int32_t jobs = 0;
    int64_t timeout_ms = 0;
    int32_t retries = 0;
    const char* only = nullptr;          // --only LIST, checked against the plan
    const char* rerun_failed = nullptr;  // --rerun-failed FILE
    const char* junit = nullptr;         // --junit FILE
    const char* html = nullptr;          // --html FILE
    const char* report = nullptr;        // --report LOG
    int32_t max_failures = 0;            // --max-failures N; 0: no limit
    bool contain = false;                // --contain: the fleet in a PID namespace
};

constexpr int32_t kMaxRetries = 100;

// Parses `argv` (getopt_long rules: options and plain arguments may mix). A
// plain argument that looks like a negative number is taken as the maximum,
// not as an option. Returns false on a usage error, with a one-line message
// (no program prefix) in `error`. Not reentrant: getopt keeps global state.
bool parse_options(int argc, char** argv, LaunchOptions* options, std::string* error);

// The text of --help.
std::string options_usage();

// `text` as it can be shown on one line: control characters become '?'.
std::string printable_argument(const char* text);
