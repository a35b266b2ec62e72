// The fleet plan: how many copies, which range each gets, and each copy's
// command line. Pure functions, so the plan can be checked without starting
// anything.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* kCoreTestProgram = "VORNCoreExTest.exe";
constexpr int32_t kDefaultTotal = 10;
constexpr int32_t kDefaultMaximum = 500;
constexpr const char* kDefaultTemplate = "02C4E67%05d";
constexpr size_t kTemplateSize = 13;  // 12 characters and the terminator
constexpr size_t kCommandLineSize = 256;

struct FleetPlan {
    int32_t count;  // copies to start; zero or less starts none
    int32_t share;  // indices of every copy...
    int32_t extra;  // ...plus one for each of the first `extra` copies
};

struct FleetCopy {
    int32_t start;
    int32_t share;
};

// Divides `total` among copies of at most `maximum` indices, spreading it
// evenly. The arithmetic is signed and truncates toward zero, so a small
// negative total still gives one copy. `maximum` must be at least 1.
FleetPlan fleet_plan(int32_t total, int32_t maximum);

// The range of copy `index` (0 <= index < plan.count): ranges follow each
// other in copy order.
FleetCopy fleet_copy(const FleetPlan& plan, int32_t index);

// Formats "<program> <template> <start> <share> <index>" into `out`. False if
// it does not fit `out_size`.
bool fleet_command_line(char* out, size_t out_size, const char* tmpl, const FleetCopy& copy,
                        int32_t index);

// Reads the per-copy maximum as atoi would (leading blanks, an optional sign,
// digits up to the first other character) but without overflow. True only for
// a value from 1 to INT32_MAX.
bool parse_maximum(const char* text, int32_t* maximum);

// Reads the total as strtol would in base 10: no number gives 0, and a number
// beyond the 32-bit range gives the nearest end of it.
int32_t parse_total(const char* text);
