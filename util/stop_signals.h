// Stop requests that arrive as signals, for a program that waits in the
// foreground for one process and passes such a request on to it.
#pragma once

// Notes SIGINT, SIGTERM, SIGHUP and SIGQUIT instead of ending the program, and
// keeps a closed output pipe from ending it; on Windows the console's events,
// as util_catch_stop_requests numbers them.
void util_catch_stop_signals();

// The number of the last stop signal noted, or 0 while none arrived.
int util_caught_stop_signal();
