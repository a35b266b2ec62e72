// The settings a run plans its fleet from: the total and the template, from
// the defaults, VORNCoreExTest.ini and the command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "options.h"
#include "plan.h"

constexpr const char* kConfigPath = "VORNCoreExTest.ini";

struct LaunchSettings {
    int32_t total = kDefaultTotal;
    char tmpl[kTemplateSize] = {};
};

// Reads the settings as every mode does: the defaults, then the INI in the
// current folder if it exists, then --total and --seed-id, which spare the
// INI's reading of their key. The INI's own notice goes to `notices`. Returns
// false, with a one-line message in `error`, when seedID does not fit the
// template: a usage error.
bool read_settings(const LaunchOptions& options, FILE* notices, LaunchSettings* settings,
                   std::string* error);
