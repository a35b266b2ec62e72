// SpawnBench's command line: options, then the per-copy maximum as the first
// plain argument. Further plain arguments are ignored.
#pragma once

#include <cstdint>
#include <string>

#include "plan.h"

struct LaunchOptions {
    bool help = false;
    int32_t maximum = kDefaultMaximum;
};

// Parses `argv` (getopt_long rules: options and plain arguments may mix). A
// plain argument that looks like a negative number is taken as the maximum,
// not as an option. Returns false on a usage error, with a one-line message
// (no program prefix) in `error`. Not reentrant: getopt keeps global state.
bool parse_options(int argc, char** argv, LaunchOptions* options, std::string* error);

// The text of --help.
std::string options_usage();
