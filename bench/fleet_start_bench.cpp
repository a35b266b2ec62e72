// Fleet start-up: N copies of the stand-in, started four ways in one
// iteration, in rotating order:
//   fleet     - the launcher's own start: the supervision loop's first step
//               (FleetStart, as supervise() starts a fleet without --jobs);
//   contained - the same after util_contain_fleet (--contain), whose set-up,
//               a namespace and its keeper, is timed too;
//   bare      - a plain posix_spawn loop over the same argument vectors, the limit;
//   xargs     - `xargs -P N -n 4` fed the same arguments, a peer.
// Each is timed from its first start until every copy has printed its start
// line, i.e. until all N copies run; then they are stopped, untimed.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_flags.h"
#include "fleet_support.h"
#include "plan.h"
#include "supervise.h"
#include "vorn_contain.h"
#include "vorn_util.h"

extern char** environ;

namespace {

constexpr int kReadyTimeoutMs = 60000;

struct Timing {
    double loop = 0;   // until the start loop returned
    double ready = 0;  // until every copy printed its start line
    bool ok = false;
    std::string error;
};

std::string child_path() { return bench::own_folder() + "/" + kCoreTestProgram; }

Timing run_fleet(int32_t n, bool contain = false) {
    Timing t;
    FleetJob job = bench::fleet_job(n);
    FleetReport report;
    bench::LinePipe out;
    if (!report.track(job.copies) || !bench::line_pipe_open(&out)) {
        t.error = "cannot prepare the fleet";
        return t;
    }
    int saved = bench::redirect_stdout(out.write_fd);
    double t0 = bench::now_seconds();
    if (contain && !util_contain_fleet()) {
        bench::restore_stdout(saved);
        bench::line_pipe_close(&out);
        t.error = "cannot contain the fleet";
        return t;
    }
    FleetStart fleet(job, &report);
    int status = fleet.start();
    t.loop = bench::now_seconds() - t0;
    bench::restore_stdout(saved);
    close(out.write_fd);
    out.write_fd = -1;
    t.ok = status == 0 && bench::line_pipe_wait(&out, n, kReadyTimeoutMs);
    t.ready = bench::now_seconds() - t0;
    if (!t.ok) t.error = "not every copy started";
    for (util_process_handle h : fleet.handles()) {
        if (h == UTIL_NO_PROCESS) {
            t.ok = false;
            t.error = "a start failed";
        }
    }
    fleet.stop();
    bench::line_pipe_close(&out);
    return t;
}

// A namespace whose keeper has died takes no new process, and a thread that
// made one cannot make another: each contained fleet runs in a helper
// process of its own, which sends back its timing.
Timing run_contained(int32_t n) {
    struct Sent {
        double loop, ready;
        bool ok;
        char error[64];
    };
    Timing t;
    int result[2];
    if (pipe2(result, O_CLOEXEC) != 0) {
        t.error = "pipe failed";
        return t;
    }
    fflush(nullptr);
    pid_t helper = fork();
    if (helper == 0) {
        close(result[0]);
        Timing own = run_fleet(n, true);
        Sent sent{own.loop, own.ready, own.ok, {}};
        snprintf(sent.error, sizeof sent.error, "%s", own.error.c_str());
        _exit(write(result[1], &sent, sizeof sent) == static_cast<ssize_t>(sizeof sent) ? 0 : 1);
    }
    close(result[1]);
    Sent sent{};
    ssize_t got = -1;
    if (helper > 0) {
        while ((got = read(result[0], &sent, sizeof sent)) < 0 && errno == EINTR) {
        }
        while (waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    close(result[0]);
    if (got != static_cast<ssize_t>(sizeof sent)) {
        t.error = helper > 0 ? "the contained fleet's helper failed" : "fork failed";
        return t;
    }
    t.loop = sent.loop;
    t.ready = sent.ready;
    t.ok = sent.ok;
    t.error = sent.error;
    return t;
}

Timing run_bare(int32_t n) {
    Timing t;
    std::string path = child_path();
    std::vector<std::vector<std::string>> words = bench::fleet_words(n, kDefaultTemplate);
    std::vector<std::vector<char*>> argvs(words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        for (std::string& w : words[i]) argvs[i].push_back(&w[0]);
        argvs[i].push_back(nullptr);
    }
    std::vector<pid_t> pids;
    pids.reserve(argvs.size());
    bench::LinePipe out;
    if (!bench::line_pipe_open(&out)) {
        t.error = "pipe failed";
        return t;
    }
    int saved = bench::redirect_stdout(out.write_fd);
    double t0 = bench::now_seconds();
    bool spawned = true;
    for (std::vector<char*>& argv : argvs) {
        pid_t pid;
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            spawned = false;
            break;
        }
        pids.push_back(pid);
    }
    t.loop = bench::now_seconds() - t0;
    bench::restore_stdout(saved);
    close(out.write_fd);
    out.write_fd = -1;
    t.ok = spawned && bench::line_pipe_wait(&out, n, kReadyTimeoutMs);
    t.ready = bench::now_seconds() - t0;
    if (!t.ok) t.error = spawned ? "not every copy started" : "posix_spawn failed";
    for (pid_t pid : pids) kill(pid, SIGKILL);
    for (pid_t pid : pids) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    bench::line_pipe_close(&out);
    return t;
}

Timing run_xargs(int32_t n, const std::string& input_path) {
    Timing t;
    std::string path = child_path();
    std::string procs = std::to_string(n);
    const char* argv[] = {"xargs",      "-P",   procs.c_str(), "-n", "4", "-a", input_path.c_str(),
                          path.c_str(), nullptr};
    bench::LinePipe out;
    if (!bench::line_pipe_open(&out)) {
        t.error = "pipe failed";
        return t;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.write_fd, STDOUT_FILENO);
    posix_spawnattr_init(&attr);
    // Its own group: xargs and its copies are stopped with one kill.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t xargs = -1;
    double t0 = bench::now_seconds();
    int rc = posix_spawnp(&xargs, "xargs", &actions, &attr, const_cast<char**>(argv), environ);
    close(out.write_fd);
    out.write_fd = -1;
    t.ok = rc == 0 && bench::line_pipe_wait(&out, n, kReadyTimeoutMs);
    t.ready = bench::now_seconds() - t0;
    t.loop = t.ready;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (!t.ok) t.error = rc == 0 ? "not every copy started under xargs" : "cannot start xargs";
    if (rc == 0) {
        kill(-xargs, SIGKILL);
        while (waitpid(xargs, nullptr, 0) < 0 && errno == EINTR) {
        }
        // Its copies were handed to us, the subreaper, when it died.
        for (;;) {
            pid_t r = waitpid(-xargs, nullptr, 0);
            if (r < 0 && errno != EINTR) break;
        }
    }
    bench::line_pipe_close(&out);
    return t;
}

std::string write_xargs_input(int32_t n) {
    char path[] = "/tmp/vorn-bench-xargs-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return std::string();
    std::string text;
    for (const std::vector<std::string>& words : bench::fleet_words(n, kDefaultTemplate)) {
        for (size_t i = 1; i < words.size(); ++i)
            text += words[i] + (i + 1 < words.size() ? " " : "\n");
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!ok) {
        unlink(path);
        return std::string();
    }
    return path;
}

void bm_start(benchmark::State& state) {
    int32_t n = static_cast<int32_t>(state.range(0));
    std::string input = write_xargs_input(n);
    if (input.empty()) {
        state.SkipWithError("cannot write the xargs input");
        return;
    }
    static int round = 0;
    Timing fleet, contained, bare, xargs;
    for (auto _ : state) {
        for (int k = 0; k < 4; ++k) {
            switch ((round + k) % 4) {
                case 0:
                    fleet = run_fleet(n);
                    break;
                case 1:
                    contained = run_contained(n);
                    break;
                case 2:
                    bare = run_bare(n);
                    break;
                default:
                    xargs = run_xargs(n, input);
                    break;
            }
        }
        ++round;
        state.SetIterationTime(fleet.ready);
    }
    unlink(input.c_str());
    int strays = bench::stray_children();
    for (const Timing* t : {&fleet, &contained, &bare, &xargs}) {
        if (!t->ok) {
            state.SkipWithError(t->error.c_str());
            return;
        }
    }
    if (strays != 0) {
        state.SkipWithError("processes were left running");
        return;
    }
    state.counters["fleet_ms"] = fleet.ready * 1e3;
    state.counters["bare_ms"] = bare.ready * 1e3;
    state.counters["xargs_ms"] = xargs.ready * 1e3;
    state.counters["fleet_loop_ms"] = fleet.loop * 1e3;
    state.counters["bare_loop_ms"] = bare.loop * 1e3;
    state.counters["fleet_vs_bare"] = fleet.ready / bare.ready;
    state.counters["fleet_vs_bare_loop"] = fleet.loop / bare.loop;
    state.counters["fleet_vs_xargs"] = fleet.ready / xargs.ready;
    state.counters["contained_ms"] = contained.ready * 1e3;
    state.counters["contained_loop_ms"] = contained.loop * 1e3;
    state.counters["contained_vs_bare"] = contained.ready / bare.ready;
    state.counters["contained_vs_bare_loop"] = contained.loop / bare.loop;
}

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_fleet_process();
    bool smoke = bench::take_flag(&argc, argv, "--smoke");

    // One iteration holds four fleet starts; repetitions give the spread,
    // more of them where a round is cheap.
    struct Size {
        int32_t copies;
        int repetitions;  // 0: as --benchmark_repetitions says
    };
    std::vector<Size> sizes = {{100, 9}, {1000, 5}};
    if (smoke) sizes = {{10, 0}};
    for (const Size& size : sizes) {
        benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark("start", bm_start);
        b->Arg(size.copies)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
        if (size.repetitions > 0) b->Repetitions(size.repetitions);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return bench::stray_children() == 0 ? 0 : 1;
}
