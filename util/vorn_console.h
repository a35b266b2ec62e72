// The console side of the utility layer: requests to stop, the key that stops
// the fleet, and the standard streams. One implementation file per OS.
#pragma once

// Makes the platform's requests to stop call `on_request` with the signal's
// number, once or more: SIGINT, SIGTERM, SIGHUP and SIGQUIT on POSIX; on
// Windows Ctrl+C (as SIGINT), Ctrl+Break (as SIGBREAK) and the console closing,
// the user logging off or the system shutting down (as SIGTERM). `on_request`
// runs in a signal handler or in a thread of the system's, so it may only set
// lock-free atomics. Also keeps a closed output pipe from killing the program
// (SIGPIPE is ignored). A later call replaces the earlier `on_request`.
// Windows ends the program as soon as a handler for the console closing
// returns, so that handler waits up to kUtilCloseGraceMs for the program to
// finish its stop and exit on its own.
void util_catch_stop_requests(void (*on_request)(int signal_number));

constexpr unsigned kUtilCloseGraceMs = 10000;

// Makes the requests to stop that a program may refuse do nothing: SIGINT,
// SIGTERM and SIGHUP on POSIX; Ctrl+C and Ctrl+Break on Windows. What
// util_process_kill_handle uses cannot be refused.
void util_ignore_stop_requests();

// Blocks until a character, the end of input or a read error arrives on
// standard input. Reads the descriptor or handle itself rather than a stdio
// stream, so that a thread still blocked here when the program ends holds no
// lock that exit() wants.
void util_wait_for_key();

// Gives every missing standard stream the null device. On POSIX the next file
// opened would otherwise take the free descriptor number, and be read by the
// key or written by a copy; on Windows a copy gets the null device instead of
// no stream.
void util_ensure_standard_streams();
