// What the stand-in core test program needs of its platform: its arguments as
// they were given, its process id, holding until killed, a child of its own,
// and files that appear whole. One implementation file per OS.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The program's arguments, its name first. On POSIX that is argv. On Windows
// they come from the raw command line: the name by the system's own rule
// (quoted or up to the first blank), then the rest split at every single
// blank, as SpawnBench joins them, so that an empty argument (two blanks in a
// row) survives where the C runtime would drop it. Quotes in the rest are
// kept as they are.
std::vector<std::string> util_own_arguments(int argc, char** argv);

uint32_t util_own_process_id();

[[noreturn]] void util_hold_forever();

// The one argument with which util_start_holding_child starts a Windows child.
constexpr const char* kUtilHoldArgument = "--hold-only";

// Starts a child process that does nothing but hold until it is killed, with
// the null device or nothing for its standard streams, and returns its process
// id; 0 on failure, with the reason in `error`. On POSIX it is a fork. On
// Windows it is this program again, with kUtilHoldArgument for its only
// argument: a program that calls this must call util_hold_if_holding_child
// first thing in main.
uint32_t util_start_holding_child(std::string* error);

// Descendants that escape a copy's process group, for the tests: a child in a
// session of its own; a daemon, forked twice with its middle process ended;
// and a child in a session of its own that, once orphaned, forks a successor
// and ends, over and over for a while. Each holds until killed. Returns the
// child's process id (the daemon's middle one, already reaped), or 0 with the
// reason in `error`. On Windows each is a holding child: the job holds it.
enum class UtilStray { kSession, kDaemon, kForkLoop };
uint32_t util_start_stray(UtilStray kind, std::string* error);

// Holds for ever if this process was started by util_start_holding_child.
void util_hold_if_holding_child(int argc, char** argv);

// Raises signal `number` with its default action, past any handler installed
// (a sanitizer's, say); returns if that action is to do nothing. Windows knows
// only the C runtime's few signals, which end the process with status 3; it
// returns on any other number.
void util_raise_signal(int number);

// Writes `contents` to `temp_path`, then renames that over `path`, so that a
// reader sees no file or the whole file. Both should be in one folder. On
// failure removes the temporary file and puts the system's reason in `error`.
bool util_write_file_whole(const std::string& path, const std::string& temp_path,
                           const std::string& contents, std::string* error);
