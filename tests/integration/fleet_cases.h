// The cases that the fleet tests of every platform run: the command lines
// each configuration gives the copies, and the arguments refused as maximum.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace spawnbench_test {

using Argv = std::vector<std::string>;

struct FleetCase {
    const char* name;
    const char* config;  // null: no configuration file
    Argv args;
    std::vector<Argv> copies;
};

// Names the case in test listings instead of dumping its bytes.
inline void PrintTo(const FleetCase& c, std::ostream* out) { *out << c.name; }

inline const FleetCase kFleetCases[] = {
    {"NoConfigNoArgument", nullptr, {}, {{"VORNCoreExTest.exe", "02C4E67%05d", "0", "10", "0"}}},
    {"SpreadWithExtras",
     "[Platform]\ntotal=101\nseedID=AB%03d\n",
     {"50"},
     {{"VORNCoreExTest.exe", "AB%03d", "0", "34", "0"},
      {"VORNCoreExTest.exe", "AB%03d", "34", "34", "1"},
      {"VORNCoreExTest.exe", "AB%03d", "68", "33", "2"}}},
    {"SecondArgumentIgnored",
     "[Platform]\r\ntotal=1400\r\nseedID=123456789012\r\n",
     {"700", "5"},
     {{"VORNCoreExTest.exe", "123456789012", "0", "700", "0"},
      {"VORNCoreExTest.exe", "123456789012", "700", "700", "1"}}},
    {"EmptyTemplateWithoutSeedId",
     "[Platform]\ntotal=3\n",
     {},
     {{"VORNCoreExTest.exe", "", "0", "3", "0"}}},
    {"NegativeTotal",
     "[Platform]\ntotal=-5\nseedID=N\n",
     {},
     {{"VORNCoreExTest.exe", "N", "0", "-5", "0"}}},
};

inline const char* const kBadMaximums[] = {
    "0", "-3", "abc", "", "2147483648", "-2147483649", "99999999999999999999"};

}  // namespace spawnbench_test
