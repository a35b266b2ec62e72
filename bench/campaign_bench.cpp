// A campaign's costs, against what the same work costs without SpawnBench's
// record, each pair run side by side in one iteration:
//   report   - SpawnBench --report LOG --junit J --html H against
//              SpawnBench --plan --rerun-failed LOG (which reads the same log
//              and prints the copies left, starting nothing), over a
//              generated job log: N copies of one line each, or N copies of
//              10 lines each, as after nine reruns. Timed by each run's CPU
//              time (user and system, from wait4), as the machine is shared;
//              the wall clock is kept beside it.
//   campaign - SpawnBench -j 4 --joblog over N copies of the stand-in that
//              end at once, against xargs -P 4 running the same command
//              lines; wall clock, and SpawnBench's peak memory (VmHWM, read
//              while it runs).
// The programs are run as they are installed: nothing of their inside is
// used here but the plan's command lines.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_flags.h"
#include "fleet_support.h"
#include "plan.h"

extern char** environ;

namespace {

constexpr double kPatienceSeconds = 3600;

std::string g_folder;

struct Outcome {
    double wall = 0;  // seconds
    double cpu = 0;   // user and system, with reaped children's
    long maxrss_kib = 0;
    long hwm_kib = 0;  // the program's own peak, read while it ran
    int status = -1;
    std::string error;
};

// Runs `argv` in g_folder with standard input `in` ("" for a pipe held open
// until it ends, so that SpawnBench does not take its end as Enter) and its
// output into the null device, waits for it and takes its rusage.
Outcome run(const std::vector<std::string>& argv, const std::string& in = "") {
    Outcome outcome;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int hold[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in.empty()) {
        if (pipe2(hold, O_CLOEXEC) != 0) {
            outcome.error = "pipe failed";
            return outcome;
        }
        posix_spawn_file_actions_adddup2(&actions, hold[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, g_folder.c_str());
    double start = bench::now_seconds();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (hold[0] >= 0) close(hold[0]);
    if (rc != 0) {
        outcome.error = "cannot start " + argv[0];
        if (hold[1] >= 0) close(hold[1]);
        return outcome;
    }
    struct rusage usage {};
    double deadline = start + kPatienceSeconds;
    double next_look = start;
    for (;;) {
        pid_t r = wait4(pid, &outcome.status, WNOHANG, &usage);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            outcome.error = "wait4 failed";
            break;
        }
        double now = bench::now_seconds();
        if (now > deadline) {
            kill(pid, SIGKILL);
            while (wait4(pid, &outcome.status, 0, &usage) < 0 && errno == EINTR) {
            }
            outcome.error = argv[0] + " did not end in time";
            break;
        }
        if (now >= next_look) {
            long hwm = bench::read_hwm_kib(pid);
            if (hwm > outcome.hwm_kib) outcome.hwm_kib = hwm;
            next_look = now + 0.25;
        }
        usleep(1000);
    }
    outcome.wall = bench::now_seconds() - start;
    if (hold[1] >= 0) close(hold[1]);
    outcome.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    outcome.maxrss_kib = usage.ru_maxrss;
    if (outcome.error.empty() && !(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0))
        outcome.error = argv[0] + " failed";
    return outcome;
}

bool write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// A job log of `copies` copies of one index, `tries` lines each, written
// round by round as reruns append. Every try but the last fails (exit 1, a
// time-out or a signal); the last passes but for every 1000th copy.
std::string make_joblog(int32_t copies, int32_t tries) {
    std::string log = "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n";
    log.reserve(static_cast<size_t>(copies) * tries * 90 + 100);
    FleetPlan plan = fleet_plan(copies, 1);
    char command[kCommandLineSize];
    char line[kCommandLineSize + 96];
    int64_t ms = 1796880000000;
    for (int32_t round = 0; round < tries; ++round) {
        for (int32_t c = 0; c < plan.count; ++c) {
            if (!fleet_command_line(command, sizeof command, kDefaultTemplate, fleet_copy(plan, c),
                                    c))
                return std::string();
            int exit_value = 0, signal_number = 0;
            if (round + 1 < tries) {
                switch (c % 3) {
                    case 0:
                        exit_value = 1;
                        break;
                    case 1:
                        exit_value = 124, signal_number = 9;
                        break;
                    default:
                        signal_number = 11;
                }
            } else if (c % 1000 == 999) {
                exit_value = 2;
            }
            ms += 3;
            std::snprintf(line, sizeof line, "%d\t:\t%lld.%03lld\t%10.3f\t0\t0\t%d\t%d\t%s\n",
                          c + 1, static_cast<long long>(ms / 1000),
                          static_cast<long long>(ms % 1000), 0.004 + (c % 50) / 1000.0, exit_value,
                          signal_number, command);
            log += line;
        }
    }
    return log;
}

void bm_report(benchmark::State& state) {
    int32_t copies = static_cast<int32_t>(state.range(0));
    int32_t tries = static_cast<int32_t>(state.range(1));
    std::string log =
        g_folder + "/joblog-" + std::to_string(copies) + "x" + std::to_string(tries) + ".txt";
    if (!write_file(log, make_joblog(copies, tries))) {
        state.SkipWithError("cannot write the job log");
        return;
    }
    const std::string spawnbench = bench::own_folder() + "/SpawnBench";
    const std::string total = std::to_string(copies);
    const std::vector<std::string> plan = {spawnbench, "--plan", "--rerun-failed", log, "--total",
                                           total,      "1"};
    const std::vector<std::string> report = {spawnbench,
                                             "--report",
                                             log,
                                             "--junit",
                                             g_folder + "/junit.xml",
                                             "--html",
                                             g_folder + "/page.html",
                                             "--total",
                                             total,
                                             "1"};
    static bool report_first = false;  // alternated across repetitions too
    for (auto _ : state) {
        // Alternated, so that neither side always finds the caches warm.
        report_first = !report_first;
        // Written afresh, as in a new CI job: emptying the last iteration's
        // files would charge their freeing to the report.
        unlink((g_folder + "/junit.xml").c_str());
        unlink((g_folder + "/page.html").c_str());
        Outcome a = run(report_first ? report : plan);
        Outcome b = run(report_first ? plan : report);
        const Outcome& r = report_first ? a : b;
        const Outcome& p = report_first ? b : a;
        // --report exits 0 without --strict; so does --plan.
        if (!r.error.empty() || !p.error.empty()) {
            state.SkipWithError((r.error + " " + p.error).c_str());
            break;
        }
        state.SetIterationTime(r.cpu);
        state.counters["report_cpu_s"] = r.cpu;
        state.counters["plan_cpu_s"] = p.cpu;
        state.counters["report_vs_plan"] = r.cpu / p.cpu;
        state.counters["report_wall_s"] = r.wall;
        state.counters["plan_wall_s"] = p.wall;
        state.counters["report_maxrss_MiB"] = r.maxrss_kib / 1024.0;
        state.counters["lines"] = static_cast<double>(copies) * tries;
    }
    unlink(log.c_str());
}

void bm_campaign(benchmark::State& state) {
    int32_t copies = static_cast<int32_t>(state.range(0));
    const std::string spawnbench = bench::own_folder() + "/SpawnBench";
    const std::string coretest = bench::own_folder() + "/VORNCoreExTest.exe";
    // xargs gets each copy's arguments; its command is the program.
    std::string lines;
    FleetPlan plan = fleet_plan(copies, 1);
    char command[kCommandLineSize];
    for (int32_t c = 0; c < plan.count; ++c) {
        if (!fleet_command_line(command, sizeof command, kDefaultTemplate, fleet_copy(plan, c),
                                c)) {
            state.SkipWithError("a command line is too long");
            return;
        }
        lines += std::strchr(command, ' ') + 1;
        lines += '\n';
    }
    const std::string arguments = g_folder + "/arguments.txt";
    const std::string joblog = g_folder + "/campaign.log";
    if (!write_file(arguments, lines)) {
        state.SkipWithError("cannot write the arguments");
        return;
    }
    setenv("VORNCORE_HOLD_MS", "0", 1);
    const std::vector<std::string> fleet = {
        spawnbench, "-j", "4", "--joblog", joblog, "--total", std::to_string(copies), "1"};
    const std::vector<std::string> xargs = {"/usr/bin/xargs", "-P", "4", "-n", "4", coretest};
    static bool fleet_first = false;
    for (auto _ : state) {
        fleet_first = !fleet_first;
        Outcome a = fleet_first ? run(fleet) : run(xargs, arguments);
        Outcome b = fleet_first ? run(xargs, arguments) : run(fleet);
        const Outcome& f = fleet_first ? a : b;
        const Outcome& x = fleet_first ? b : a;
        if (!f.error.empty() || !x.error.empty()) {
            state.SkipWithError((f.error + " " + x.error).c_str());
            break;
        }
        state.SetIterationTime(f.wall);
        state.counters["fleet_s"] = f.wall;
        state.counters["xargs_s"] = x.wall;
        state.counters["fleet_vs_xargs"] = f.wall / x.wall;
        state.counters["fleet_cpu_s"] = f.cpu;
        state.counters["xargs_cpu_s"] = x.cpu;
        state.counters["hwm_MiB"] = f.hwm_kib / 1024.0;
        state.counters["maxrss_MiB"] = f.maxrss_kib / 1024.0;
    }
    // The stand-in holds until killed in the other benchmarks.
    setenv("VORNCORE_HOLD_MS", "-1", 1);
    unlink(arguments.c_str());
    unlink(joblog.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_fleet_process();
    setenv("VORNCORE_DELAY_MS", "0", 1);
    bool smoke = bench::take_flag(&argc, argv, "--smoke");
    char folder[] = "/tmp/vorn-bench-campaign-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    g_folder = folder;
    benchmark::RegisterBenchmark("report", bm_report)
        ->Args({smoke ? 1000 : 1000000, 1})
        ->Args({smoke ? 100 : 100000, 10})
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("campaign", bm_campaign)
        ->Arg(smoke ? 200 : 100000)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string clean = "rm -rf '" + g_folder + "'";
    int removed = std::system(clean.c_str());
    (void)removed;
    return bench::stray_children() == 0 ? 0 : 1;
}
