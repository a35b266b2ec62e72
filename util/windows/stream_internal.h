// Shared by process.cpp and stream.cpp: the one I/O completion port that the
// copies' jobs and our ends of their pipes report to, and the pipes' making.
#pragma once

#include <windows.h>

#include "vorn_stream.h"

// Completion keys. A pipe's key is kPipeKeyBase plus its index in the table.
constexpr ULONG_PTR kWakeKey = 0;
constexpr ULONG_PTR kJobKey = 1;
constexpr ULONG_PTR kPipeKeyBase = 2;

// The port, made on first use by whichever thread comes first; null if it
// cannot be made.
HANDLE util_windows_port();

// A pipe for a process about to start: our read end goes into the table as
// `*stream`, and `*write_end` is an inheritable, synchronous handle for the
// child, which the caller closes once the child has it. Returns an error code.
DWORD util_windows_make_pipe(util_stream* stream, HANDLE* write_end);

// A job may report a process's exit before the process's handle is
// signalled: waits, bounded, until a started process with this id is seen
// ended, so that the caller's look at it right after does see it.
void util_windows_settle_exit(DWORD process_id);
