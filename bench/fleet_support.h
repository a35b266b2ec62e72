// Helpers shared by the fleet benchmarks: finding the programs, catching the
// copies' start lines, and making sure nothing outlives a benchmark.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "supervise.h"

namespace bench {

// The folder this program runs from; the launcher and the stand-in sit there.
std::string own_folder();

// Opens the null device on any of descriptors 0 to 2 that is closed, so that
// pipes we open later cannot take their numbers.
void ensure_standard_descriptors();

// Makes orphaned grandchildren ours, so that stray_children() sees them.
void become_subreaper();

// Makes the stand-in start at once and hold until it is killed.
void set_holding_child_environment();

// All of the above, and SIGPIPE ignored so that a copy killed while writing
// its line cannot take the benchmark with it: what a fleet benchmark's main
// does first.
void prepare_fleet_process();

// A pipe whose read end stays with us (close-on-exec) and whose write end
// the copies get as standard output. Every copy prints one line as it
// starts, so counting lines tells when all of them run.
struct LinePipe {
    int read_fd = -1;
    int write_fd = -1;
    int64_t lines = 0;
    std::string partial;  // text after the last line feed, when kept
};

bool line_pipe_open(LinePipe* pipe);
void line_pipe_close(LinePipe* pipe);

// Reads until `count` lines in all have arrived; false on end of input or
// after `timeout_ms`. Each complete line is added to `keep`, if given.
bool line_pipe_wait(LinePipe* pipe, int64_t count, int timeout_ms,
                    std::vector<std::string>* keep = nullptr);

// Points our standard output at `fd` until restore_stdout(), so that
// children started in between inherit it. Returns the saved descriptor or -1.
int redirect_stdout(int fd);
void restore_stdout(int saved);

// Kills and reaps every child of ours still alive (ours by birth or as
// subreaper). Returns how many there were: anything but 0 means a benchmark
// left processes behind.
int stray_children();

double now_seconds();

// The launcher's job for `count` copies of one index each, every copy taken
// on, as SpawnBench plans it with a maximum of 1.
FleetJob fleet_job(int32_t count);

// The fleet's command lines, as the launcher would build them for `count`
// copies of one index each, split into words.
std::vector<std::vector<std::string>> fleet_words(int32_t count, const char* tmpl);

// The peak resident memory (VmHWM) of running process `pid`, in KiB; 0 if
// it cannot be read.
long read_hwm_kib(pid_t pid);

}  // namespace bench
