// The running fleet's cost:
//   poll   - one pass of util_is_process_running over every copy, as the
//            launcher makes once a second;
//   memory - the peak resident size of the real SpawnBench holding the
//            fleet, from wait4's rusage.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_flags.h"
#include "fleet_support.h"
#include "plan.h"
#include "supervise.h"
#include "vorn_util.h"

extern char** environ;

namespace {

constexpr int kReadyTimeoutMs = 60000;

// One fleet serves every repetition of the pass: starting 1000 copies takes
// seconds here, a pass about a millisecond.
struct PollFleet {
    int32_t n = 0;
    FleetJob job;
    std::unique_ptr<FleetReport> report;
    std::unique_ptr<FleetStart> start;
    std::vector<util_process_handle> handles;
    bench::LinePipe out;
    bool ready = false;
};

PollFleet g_poll_fleet;

bool poll_fleet_start(int32_t n) {
    PollFleet& f = g_poll_fleet;
    if (f.n == n) return f.ready;
    f.n = n;
    f.job = bench::fleet_job(n);
    f.report.reset(new FleetReport);
    if (!f.report->track(f.job.copies) || !bench::line_pipe_open(&f.out)) return false;
    // Started as the launcher starts them.
    f.start.reset(new FleetStart(f.job, f.report.get()));
    int saved = bench::redirect_stdout(f.out.write_fd);
    int status = f.start->start();
    bench::restore_stdout(saved);
    f.handles = f.start->handles();
    close(f.out.write_fd);
    f.out.write_fd = -1;
    f.ready = status == 0 && bench::line_pipe_wait(&f.out, n, kReadyTimeoutMs);
    return f.ready;
}

void poll_fleet_stop() {
    PollFleet& f = g_poll_fleet;
    f.start.reset();  // stops the copies
    f.report.reset();
    f.handles.clear();
    bench::line_pipe_close(&f.out);
    f.n = 0;
    f.ready = false;
}

void bm_poll(benchmark::State& state) {
    int32_t n = static_cast<int32_t>(state.range(0));
    if (!poll_fleet_start(n)) {
        state.SkipWithError("not every copy started");
        return;
    }
    const std::vector<util_process_handle>& handles = g_poll_fleet.handles;
    int64_t all_running_passes = 0;
    for (auto _ : state) {
        bool any = false;
        int32_t running = 0;
        for (util_process_handle h : handles) {
            bool r = util_is_process_running(h);
            any = r || any;
            running += r ? 1 : 0;
        }
        benchmark::DoNotOptimize(any);
        if (running == n) ++all_running_passes;
    }
    if (all_running_passes != state.iterations()) {
        state.SkipWithError("a pass missed a running copy");
    } else {
        state.counters["copies"] = n;
    }
}

struct LauncherRun {
    bool ok = false;
    std::string error;
    long maxrss_kib = 0;  // wait4: the launcher, or a reaped copy if larger
    long hwm_kib = 0;     // the launcher's own peak, read while it runs
};

// wait4, but a launcher that does not end in time is killed: a hung run must
// fail, not hang the benchmark.
pid_t wait_with_deadline(pid_t pid, int* status, struct rusage* usage, double seconds) {
    double deadline = bench::now_seconds() + seconds;
    for (;;) {
        pid_t r = wait4(pid, status, WNOHANG, usage);
        if (r == pid || (r < 0 && errno != EINTR)) return r;
        if (bench::now_seconds() > deadline) {
            kill(pid, SIGKILL);
            while (wait4(pid, status, 0, usage) < 0 && errno == EINTR) {
            }
            return -1;
        }
        usleep(10000);
    }
}

bool write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

LauncherRun run_launcher(int32_t n) {
    LauncherRun run;
    char folder[] = "/tmp/vorn-bench-launcher-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        run.error = "cannot make a temp folder";
        return run;
    }
    std::string ini = std::string(folder) + "/VORNCoreExTest.ini";
    if (!write_file(ini, "[Platform]\ntotal=" + std::to_string(n) + "\nseedID=" + kDefaultTemplate +
                             "\n")) {
        run.error = "cannot write the INI file";
        rmdir(folder);
        return run;
    }

    std::string program = bench::own_folder() + "/SpawnBench";
    int in_fds[2];
    bench::LinePipe out;
    if (pipe2(in_fds, O_CLOEXEC) != 0 || !bench::line_pipe_open(&out)) {
        run.error = "pipe failed";
        unlink(ini.c_str());
        rmdir(folder);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_fds[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.write_fd, STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, folder);
    // Every copy gets one index, so `n` copies are started.
    const char* argv[] = {"SpawnBench", "1", nullptr};
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in_fds[0]);
    close(out.write_fd);
    out.write_fd = -1;

    if (rc != 0) {
        run.error = "cannot start SpawnBench";
    } else {
        // The prompt and one start line per copy: all copies are running.
        std::vector<std::string> lines;
        bool prompt = false;
        int64_t starts = 0;
        double deadline = bench::now_seconds() + kReadyTimeoutMs / 1000.0;
        while ((!prompt || starts < n) && bench::now_seconds() < deadline) {
            lines.clear();
            if (!bench::line_pipe_wait(&out, out.lines + 1, kReadyTimeoutMs, &lines)) break;
            for (const std::string& l : lines) {
                if (l == "Click enter to exit") prompt = true;
                if (l.find(": start ") != std::string::npos) ++starts;
            }
        }
        // Let the first poll pass run before reading the peak.
        usleep(200000);
        run.hwm_kib = bench::read_hwm_kib(pid);
        ssize_t w = write(in_fds[1], "\n", 1);
        (void)w;
        // Drain until every writer (SpawnBench and its copies) is gone.
        bench::line_pipe_wait(&out, INT64_MAX, kReadyTimeoutMs);
        int status = 0;
        struct rusage usage;
        std::memset(&usage, 0, sizeof usage);
        pid_t r = wait_with_deadline(pid, &status, &usage, 10.0);
        run.maxrss_kib = usage.ru_maxrss;
        if (!prompt || starts != n) {
            run.error = "SpawnBench did not start every copy";
        } else if (r != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            run.error = "SpawnBench did not exit with status 0";
        } else {
            run.ok = true;
        }
    }
    close(in_fds[1]);
    bench::line_pipe_close(&out);
    unlink(ini.c_str());
    rmdir(folder);
    return run;
}

void bm_memory(benchmark::State& state) {
    int32_t n = static_cast<int32_t>(state.range(0));
    // The polling fleet is done with; it would only crowd the machine.
    poll_fleet_stop();
    if (bench::stray_children() != 0) {
        state.SkipWithError("the polling fleet left processes running");
        return;
    }
    LauncherRun run;
    for (auto _ : state) {
        double t0 = bench::now_seconds();
        run = run_launcher(n);
        state.SetIterationTime(bench::now_seconds() - t0);
    }
    // Copies SpawnBench failed to stop would have come to us as orphans.
    int strays = bench::stray_children();
    if (!run.ok) {
        state.SkipWithError(run.error.c_str());
    } else if (strays != 0) {
        state.SkipWithError("SpawnBench left copies running");
    } else {
        state.counters["maxrss_MiB"] = run.maxrss_kib / 1024.0;
        state.counters["hwm_MiB"] = run.hwm_kib / 1024.0;
        state.counters["copies"] = n;
    }
}

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_fleet_process();
    bool smoke = bench::take_flag(&argc, argv, "--smoke");
    int32_t n = smoke ? 10 : 1000;

    // Fixed iterations, so that no trial runs size the loop.
    benchmark::RegisterBenchmark("poll", bm_poll)
        ->Arg(n)
        ->Iterations(smoke ? 5 : 300)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("memory", bm_memory)
        ->Arg(n)
        ->Iterations(1)
        ->Repetitions(1)  // the peak hardly varies, and a run takes seconds
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    poll_fleet_stop();
    benchmark::Shutdown();
    return bench::stray_children() == 0 ? 0 : 1;
}
