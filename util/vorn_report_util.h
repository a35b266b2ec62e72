// What SpawnBench's report asks of the OS: whether standard error is a
// terminal and how wide it is, what a signal's name means, and a log file that
// the copies do not inherit. One implementation file per OS and concern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// True if standard error is an interactive terminal (a console on Windows).
bool util_stderr_is_terminal();

// Writes UTF-8 `text` to standard error, a terminal, so that it shows as
// such: as bytes on POSIX; on a Windows console as UTF-16, whatever the
// console's code page. False if the stream fails.
bool util_write_status(const char* text, size_t size);

// The width of the terminal on standard error in columns, or 0 if unknown.
int util_stderr_columns();

// A short description of signal `number` ("Segmentation fault"), or null if
// there is none.
const char* util_signal_description(uint32_t number);

// Creates or empties `path` (or with `append`, creates it or adds to its end)
// and opens it for writing, not inherited by the processes started later.
// Null with errno set on failure.
std::FILE* util_open_log_file(const char* path, bool append);
