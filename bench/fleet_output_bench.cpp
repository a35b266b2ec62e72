// Passing the copies' output on. 10 copies each write `bytes` in 80-byte
// lines (the stand-in's VORNCORE_WRITE_BYTES), timed from the start until the
// last line has come out of the pipe that stands for the terminal:
//   tag      - SpawnBench --tag
//   parallel - GNU parallel --line-buffer --tag over SpawnBench --copy
//   cat      - each copy piped into cat: the floor of passing lines on
// and until every copy has ended, for files:
//   output   - SpawnBench --output, each copy into a file of its own (the job
//              log tells when the last copy has ended)
//   direct   - the copies writing their own files, without SpawnBench
// and the peak memory of SpawnBench --tag over 2000 copies (wait4's rusage).
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_flags.h"
#include "fleet_support.h"

extern char** environ;

namespace {

constexpr int kCopies = 10;
constexpr int kLine = 80;
constexpr double kPatienceSeconds = 600;

std::string g_folder;  // holds the INI, the files and the job log

struct Outcome {
    double seconds = 0;
    long maxrss_kib = 0;
    std::string error;
};

int64_t lines_in(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return 0;
    int64_t lines = 0;
    for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
    std::fclose(f);
    return lines;
}

std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs `script` with sh in `g_folder`, in a session of its own that is killed
// afterwards, with its standard input a pipe we hold open (SpawnBench does
// not take it as Enter) and its standard output a pipe we read. Stops the
// clock once `lines` lines have come out (with `lines` 0, once `done_file`
// holds `done_lines` lines), then lets it end and takes its rusage.
Outcome run(const std::string& script, int64_t lines, const std::string& done_file = "",
            int done_lines = 0) {
    Outcome outcome;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        outcome.error = "pipe failed";
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, g_folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    double start = bench::now_seconds();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        outcome.error = "cannot start sh";
        close(in[1]);
        close(out[0]);
        return outcome;
    }
    static char buffer[1 << 20];
    int64_t seen = 0;
    bool timed = false;
    double deadline = start + kPatienceSeconds;
    // A large pipe, read at once: as near to the null device as a pipe we
    // can count lines on gets.
    fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    for (;;) {
        pollfd ready{out[0], POLLIN, 0};
        poll(&ready, 1, 1);
        ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got > 0) {
            for (const char* p = buffer;
                 (p = static_cast<const char*>(std::memchr(p, '\n', buffer + got - p))) != nullptr;
                 ++p) {
                ++seen;
            }
        } else if (got == 0) {
            break;
        }
        if (!timed && lines > 0 && seen >= lines) {
            outcome.seconds = bench::now_seconds() - start;
            timed = true;
            close(in[1]);  // lets SpawnBench stop at once
            in[1] = -1;
        }
        if (!timed && lines == 0) {
            if (lines_in(done_file) >= done_lines) {
                outcome.seconds = bench::now_seconds() - start;
                timed = true;
                close(in[1]);
                in[1] = -1;
            }
        }
        if (bench::now_seconds() > deadline) break;
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    kill(-pid, SIGKILL);
    outcome.maxrss_kib = usage.ru_maxrss;
    if (!timed) outcome.error = "the output did not all come out in time";
    return outcome;
}

std::string env(int64_t bytes) {
    return "export VORNCORE_DELAY_MS=0 VORNCORE_HOLD_MS=0 VORNCORE_WRITE_BYTES=" +
           std::to_string(bytes) + " VORNCORE_LINE_LENGTH=" + std::to_string(kLine) + "; ";
}

// The copies' lines: their data and a start and a done line each.
int64_t expected_lines(int64_t bytes, int copies) {
    return copies * ((bytes + kLine - 1) / kLine + 2);
}

void record(benchmark::State& state, const Outcome& outcome) {
    if (!outcome.error.empty()) {
        state.SkipWithError(outcome.error.c_str());
        return;
    }
    state.SetIterationTime(outcome.seconds);
}

void bm_tag(benchmark::State& state) {
    int64_t bytes = state.range(0);
    std::string spawnbench = shell_quoted(bench::own_folder() + "/SpawnBench");
    for (auto _ : state) {
        record(state, run(env(bytes) + "exec " + spawnbench + " --tag --total " +
                              std::to_string(kCopies) + " 1",
                          expected_lines(bytes, kCopies)));
    }
}

void bm_parallel(benchmark::State& state) {
    int64_t bytes = state.range(0);
    std::string spawnbench = shell_quoted(bench::own_folder() + "/SpawnBench");
    for (auto _ : state) {
        record(state, run(env(bytes) + "seq 0 " + std::to_string(kCopies - 1) +
                              " | exec parallel --will-cite -j " + std::to_string(kCopies) +
                              " --line-buffer --tag " + spawnbench + " --copy {} --total " +
                              std::to_string(kCopies) + " 1",
                          expected_lines(bytes, kCopies)));
    }
}

void bm_cat(benchmark::State& state) {
    int64_t bytes = state.range(0);
    std::string coretest = shell_quoted(bench::own_folder() + "/VORNCoreExTest.exe");
    for (auto _ : state) {
        record(state, run(env(bytes) + "for i in $(seq 0 " + std::to_string(kCopies - 1) +
                              "); do " + coretest + " T $i 1 $i | cat & done; wait",
                          expected_lines(bytes, kCopies)));
    }
}

void bm_output(benchmark::State& state) {
    int64_t bytes = state.range(0);
    std::string spawnbench = shell_quoted(bench::own_folder() + "/SpawnBench");
    for (auto _ : state) {
        record(state, run(env(bytes) + "exec " + spawnbench +
                              " --output out-%c.log --joblog done.log --total " +
                              std::to_string(kCopies) + " 1",
                          0, g_folder + "/done.log", kCopies + 1));
        unlink((g_folder + "/done.log").c_str());
    }
}

void bm_direct(benchmark::State& state) {
    int64_t bytes = state.range(0);
    std::string coretest = shell_quoted(bench::own_folder() + "/VORNCoreExTest.exe");
    for (auto _ : state) {
        // The shell ends once every copy has: its last line says so.
        record(state,
               run(env(bytes) + "for i in $(seq 0 " + std::to_string(kCopies - 1) + "); do " +
                       coretest + " T $i 1 $i >out-$i.log 2>&1 & done; wait; echo done",
                   1));
    }
}

void bm_tag_memory(benchmark::State& state) {
    int64_t copies = state.range(0);
    std::string spawnbench = shell_quoted(bench::own_folder() + "/SpawnBench");
    for (auto _ : state) {
        // Odd-sized writes, so that most copies leave part of a line waiting.
        Outcome outcome = run(
            env(65537) + "exec " + spawnbench + " --tag --total " + std::to_string(copies) + " 1",
            copies * ((65537 + kLine - 1) / kLine + 2));
        record(state, outcome);
        state.counters["maxrss_MiB"] = outcome.maxrss_kib / 1024.0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_fleet_process();
    bool smoke = bench::take_flag(&argc, argv, "--smoke");
    char folder[] = "/tmp/vorn-bench-output-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    g_folder = folder;
    int64_t bytes = smoke ? (1 << 20) : (100 << 20);
    for (auto [name, function] :
         {std::pair{"tag", bm_tag}, std::pair{"parallel", bm_parallel}, std::pair{"cat", bm_cat},
          std::pair{"output", bm_output}, std::pair{"direct", bm_direct}}) {
        benchmark::RegisterBenchmark(name, function)
            ->Arg(bytes)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("tag_memory", bm_tag_memory)
        ->Arg(smoke ? 100 : 2000)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string clean = "rm -rf " + shell_quoted(g_folder);
    int removed = std::system(clean.c_str());
    (void)removed;
    return bench::stray_children() == 0 ? 0 : 1;
}
