// Runs the real SpawnBench for the integration tests: in a folder of its own,
// with its standard input a pipe the test holds (or the null device), its
// output in files, and the stand-in's records to read back.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace spawnbench_test {

using std::chrono::milliseconds;

struct Record {
    pid_t pid = 0;
    std::vector<std::string> argv;  // as the copy received it, argv[0] first
};

enum class Input { kPipe, kNull };

struct RunOptions {
    std::string program;            // SpawnBench to run
    std::vector<std::string> args;  // after the program name
    std::string folder;             // its current folder
    std::vector<std::string> env;   // "NAME=value", over the test's own
    Input input = Input::kPipe;
    std::vector<std::string>
        shell_prefix;  // e.g. {"/bin/sh", "-c", "ulimit -v 1; exec \"$0\" \"$@\""}
};

class SpawnBenchRun {
public:
    explicit SpawnBenchRun(const RunOptions& options);
    ~SpawnBenchRun();  // kills a launcher still running
    SpawnBenchRun(const SpawnBenchRun&) = delete;
    SpawnBenchRun& operator=(const SpawnBenchRun&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void press_enter();
    void close_input();
    void send_signal(int signal_number);
    // True once standard output holds `text`.
    bool wait_for_output(const std::string& text, milliseconds timeout) const;
    // Exit status, or -1 if it did not exit in time (or died by a signal).
    int wait(milliseconds timeout);
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    int input_fd_ = -1;
    std::string out_path_, err_path_;
};

// The stand-in's records in `folder`, sorted by copy number (the last argument).
std::vector<Record> read_records(const std::string& folder);
bool wait_for_records(const std::string& folder, size_t count, milliseconds timeout);
// Pids of the children that copies started of their own, all copies together.
std::vector<pid_t> read_child_pids(const std::string& folder);

// The test process adopts orphans, so anything a launcher leaves behind
// becomes ours and can be seen.
void adopt_orphans();
// True if no process of `pids` exists any more, not even as a zombie.
bool all_gone(const std::vector<pid_t>& pids);
// "VORN_TEST_MARK=<unique>", to put in a run's environment: every process
// of that run inherits it, whatever PID namespace it is in.
std::string new_mark();
// Processes whose environment holds `mark`, but `except`.
std::vector<pid_t> marked_processes(const std::string& mark, pid_t except = 0);
// True if this process has no child left. Kills and reaps what it finds of
// `known`, so that a failing test leaves nothing behind.
bool no_children_left(const std::vector<pid_t>& known);

}  // namespace spawnbench_test
