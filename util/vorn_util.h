// Our stand-in for the maker's utility layer: test a file, start, poll and
// stop processes, sleep. One implementation file per OS sits beside it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vorn_stream.h"

// Opaque 32-bit process handle. On POSIX it is the child's pid, which is also
// the id of the process group the child leads. On Windows it is a 1-based
// index into a table of the child's process and job handles, never reused.
typedef int32_t util_process_handle;

// The handle of a start that failed, and of an entry never filled. It is never
// running and never signalled (kill(0, ...) would hit our own group).
constexpr util_process_handle UTIL_NO_PROCESS = 0;

// True if `path` names an existing file that is not a directory.
bool util_is_file_exist(const char* path);

// Starts `command_line` without waiting for it. The line is split at every
// single blank (two blanks give an empty argument); the first word names the
// program. A name without '/' is looked for in this program's own folder, then
// in the current folder, then in PATH. The child gets its own process group,
// the null device as standard input, and our standard output and error.
// On Linux it is killed when the thread that started it ends, also when this
// process is killed outright: start copies from a thread that outlives them.
// On Windows the line goes to CreateProcess as it is, which looks for the
// program by the system's own rules (in the same order), and the child runs in
// a job object of its own that dies with this process.
// On failure prints "<program>: cannot start <name>: <reason>" on standard
// error and returns UTIL_NO_PROCESS.
util_process_handle util_process_cmd_launch_no_wait(const char* command_line);

// The same, but prints nothing: on failure it leaves "cannot start <name>:
// <reason>" in `why` (`why_size` bytes, always terminated, cut to fit), so
// that the caller decides what to report.
util_process_handle util_process_start(const char* command_line, char* why, size_t why_size);

// Where a process started by util_process_start_with sends its standard
// output and standard error. With neither set, to ours.
struct util_start_options {
    // Both streams appended to this file, created if missing. It is open here
    // only while the process starts: nothing of it stays open in this process.
    const char* output_file = nullptr;
    // Each stream into a pipe of its own, whose read end is left here
    // (non-blocking, not inherited by later starts). UTIL_NO_STREAM on failure.
    util_stream* out_stream = nullptr;
    util_stream* err_stream = nullptr;
};

// util_process_start with `options`. A failure to open the file or make the
// pipes is a failed start, described in `why`.
util_process_handle util_process_start_with(const char* command_line,
                                            const util_start_options& options, char* why,
                                            size_t why_size);

// True while the process behind `handle` has not ended. Never reaps, so the
// pid stays reserved until util_process_kill_handle.
bool util_is_process_running(util_process_handle handle);

// How a process ended: its exit status, or the signal that killed it.
enum util_end_kind { UTIL_END_EXITED, UTIL_END_SIGNALED };
struct util_process_end {
    util_end_kind kind;
    uint32_t code;  // the exit status, or the signal's number
};

// Once the process behind `handle` has ended, fills `end` and returns 1,
// without reaping it; returns 0 while it runs. Returns a negative errno value
// for UTIL_NO_PROCESS and for a handle that is not (or no longer) ours.
// A Windows process always ends UTIL_END_EXITED, with its 32-bit exit code.
int util_process_end_state(util_process_handle handle, util_process_end* end);

// Sends `signal_number` to the process group behind `handle`, and to the
// process itself if it has left that group. Returns 0, or a negative errno
// value for UTIL_NO_PROCESS and for a handle that is not (or no longer) ours.
// Windows has only Ctrl+Break to send to a group, whatever the number, and
// only when the child shares our console; -EPERM when it cannot be sent.
int util_process_signal(util_process_handle handle, int signal_number);

// Kills the process group behind `handle` (the child and whatever it started)
// and reaps them; on Windows, the job that holds them. Harmless on a process
// that has ended, on UTIL_NO_PROCESS and on a handle already stopped: a reaped
// pid or a closed handle is never used again.
// Returns 0, or a negative errno value.
int util_process_kill_handle(util_process_handle handle);

// Sleeps for `milliseconds`, resuming after signals until the time is up.
void util_sleep_ms(uint32_t milliseconds);
