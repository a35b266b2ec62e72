// A started process's output, read by us instead of landing on our console,
// and the one wait of the supervision loop: for that output, for a started
// process to end, for a wake-up, or for a time-out. Also our own standard
// streams written without stdio, and the descriptor limit that many pipes
// need. One implementation file per OS.
#pragma once

#include <cstddef>
#include <cstdint>

// The read end of a pipe whose write end a started process holds (see
// util_start_options in vorn_util.h). On POSIX a descriptor, on Windows an
// index into a table of named pipes read through an I/O completion port.
typedef int32_t util_stream;
constexpr util_stream UTIL_NO_STREAM = -1;

// Reads what is there now, at most `size` bytes, without waiting. Returns the
// count (> 0), 0 once every writer has closed the pipe and it is empty,
// -EAGAIN while nothing waits, or another negative errno value.
int64_t util_stream_read(util_stream stream, char* buffer, size_t size);

// Closes our end. Writers still holding the pipe get EPIPE (or the broken
// pipe error) and no longer block. Harmless on UTIL_NO_STREAM.
void util_stream_close(util_stream stream);

// What util_wait saw, as bits.
constexpr unsigned UTIL_WAIT_CHILD = 1;  // a process we started has ended (or may have)
constexpr unsigned UTIL_WAIT_WOKEN = 2;  // util_wake was called

// Wakes util_wait at once, or makes its next call return at once. Safe in a
// signal handler and from any thread.
void util_wake();

// Blocks until one of `streams` can be read (data or its end), a process we
// started ends, util_wake is called, or `timeout_ms` passes. Sets ready[i]
// for each stream that util_stream_read would not answer with -EAGAIN; a
// stream left out of `streams` is not waited for, so its writer blocks once
// the pipe is full. Returns the UTIL_WAIT_ bits of what else happened.
// Called from one thread at a time.
unsigned util_wait(const util_stream* streams, size_t count, bool* ready, uint32_t timeout_ms);

// Our own standard output (1) or standard error (2), by the descriptor or
// handle, all of `size` bytes. False if the stream is broken or fails; a
// closed pipe does not end the program.
bool util_write_standard(int which, const char* data, size_t size);

// How the C runtime ends a line of text on our standard streams: "\n", or
// "\r\n" on Windows.
const char* util_text_line_end();

// Makes room for at least `needed` open descriptors: raises the soft limit up
// to the hard one if it is lower. Processes started later get the limit we
// started with. False, with the limit that holds in `*limit`, if even the hard
// limit is too low. Windows has no such limit: always true.
bool util_reserve_descriptors(uint64_t needed, uint64_t* limit);
