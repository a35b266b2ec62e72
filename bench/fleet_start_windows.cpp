// Fleet start-up on Windows (Google Benchmark has no mingw build): N copies of
// the stand-in, started two ways in alternating order, several rounds:
//   fleet - the launcher's own start, the supervision loop's first step
//           (FleetStart) over the process layer: suspended start, a job
//           object per copy, resume;
//   bare  - a plain CreateProcess loop over the same command lines.
// Each is timed until the loop returns and until every copy has printed its
// start line, i.e. until all N copies run; then they are stopped, untimed.
//   bench_fleet_start_windows [--copies N] [--rounds R]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plan.h"
#include "supervise.h"
#include "vorn_util.h"

namespace {

constexpr DWORD kReadyTimeoutMs = 120000;
// Untimed, after each stop: under Wine the processes behind stopped ones take
// about a second to go, and the next run should not meet them.
constexpr DWORD kSettleMs = 2000;

struct Timing {
    double loop = 0;   // seconds until the start loop returned
    double ready = 0;  // seconds until every copy printed its start line
    const char* error = nullptr;
};

double now_seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A pipe whose write end the copies get as standard output.
struct LinePipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

bool open_pipe(LinePipe* pipe) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&pipe->read, &pipe->write, &inherit, 1 << 20)) return false;
    SetHandleInformation(pipe->read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

void close_pipe(LinePipe* pipe) {
    if (pipe->write != nullptr) CloseHandle(pipe->write);
    if (pipe->read != nullptr) CloseHandle(pipe->read);
    *pipe = LinePipe{};
}

// Counts line feeds until `count` have come; false after the timeout.
bool wait_for_lines(HANDLE read, int32_t count) {
    ULONGLONG deadline = GetTickCount64() + kReadyTimeoutMs;
    int32_t lines = 0;
    char buf[4096];
    while (lines < count) {
        DWORD available = 0;
        if (!PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) {
            if (GetTickCount64() > deadline) return false;
            Sleep(0);
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(read, buf, std::min<DWORD>(available, sizeof buf), &got, nullptr)) {
            return false;
        }
        lines += static_cast<int32_t>(std::count(buf, buf + got, '\n'));
    }
    return true;
}

std::vector<std::string> command_lines(int32_t n) {
    FleetPlan plan = fleet_plan(n, 1);
    std::vector<std::string> lines;
    char line[kCommandLineSize];
    for (int32_t i = 0; i < plan.count; ++i) {
        fleet_command_line(line, sizeof line, kDefaultTemplate, fleet_copy(plan, i), i);
        lines.push_back(line);
    }
    return lines;
}

Timing run_fleet(int32_t n) {
    Timing t;
    FleetJob job;
    job.plan = fleet_plan(n, 1);
    job.tmpl = kDefaultTemplate;
    for (int32_t i = 0; i < job.plan.count; ++i) job.copies.push_back(i);
    FleetReport report;
    LinePipe out;
    if (!report.track(job.copies) || !open_pipe(&out)) {
        t.error = "cannot prepare the fleet";
        return t;
    }
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, out.write);
    double t0 = now_seconds();
    FleetStart fleet(job, &report);
    if (fleet.start() != 0) t.error = "the fleet did not start";
    t.loop = now_seconds() - t0;
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    if (!wait_for_lines(out.read, n)) t.error = "not every copy started";
    t.ready = now_seconds() - t0;
    for (util_process_handle h : fleet.handles()) {
        if (h == UTIL_NO_PROCESS) t.error = "a start failed";
    }
    fleet.stop();
    close_pipe(&out);
    return t;
}

Timing run_bare(const std::vector<std::string>& lines) {
    Timing t;
    LinePipe out;
    if (!open_pipe(&out)) {
        t.error = "pipe failed";
        return t;
    }
    std::vector<PROCESS_INFORMATION> started;
    started.reserve(lines.size());
    std::vector<std::string> buffers = lines;  // CreateProcessA may write into them
    // The copies get what the fleet's get: the null device for input, our
    // error output, the pipe for output.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    HANDLE error = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &error, 0, TRUE, DUPLICATE_SAME_ACCESS);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input == INVALID_HANDLE_VALUE ? nullptr : input;
    startup.hStdOutput = out.write;
    startup.hStdError = error;
    double t0 = now_seconds();
    for (std::string& line : buffers) {
        PROCESS_INFORMATION info;
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &info)) {
            t.error = "CreateProcess failed";
            break;
        }
        started.push_back(info);
    }
    t.loop = now_seconds() - t0;
    if (t.error == nullptr && !wait_for_lines(out.read, static_cast<int32_t>(lines.size()))) {
        t.error = "not every copy started";
    }
    t.ready = now_seconds() - t0;
    if (startup.hStdInput != nullptr) CloseHandle(startup.hStdInput);
    if (error != nullptr) CloseHandle(error);
    for (PROCESS_INFORMATION& info : started) TerminateProcess(info.hProcess, 1);
    for (PROCESS_INFORMATION& info : started) {
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    close_pipe(&out);
    return t;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

int32_t int_flag(int argc, char** argv, const char* flag, int32_t fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return std::max(1, std::atoi(argv[i + 1]));
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    int32_t copies = int_flag(argc, argv, "--copies", 100);
    int32_t rounds = int_flag(argc, argv, "--rounds", 5);
    // Copies start at once, print their start line and hold until stopped.
    SetEnvironmentVariableA("VORNCORE_DELAY_MS", "0");
    SetEnvironmentVariableA("VORNCORE_HOLD_MS", "-1");
    SetEnvironmentVariableA("VORNCORE_RECORD_DIR", nullptr);

    std::vector<std::string> lines = command_lines(copies);
    std::vector<double> fleet_loop, fleet_ready, bare_loop, bare_ready, ratio_loop, ratio_ready;
    std::printf("%d copies, %d rounds (ms)\n", copies, rounds);
    std::printf("round  fleet_loop  bare_loop  fleet_ready  bare_ready\n");
    for (int32_t round = 0; round < rounds; ++round) {
        Timing fleet, bare;
        // Alternate which goes first, so neither always meets a warmer system.
        for (int k = 0; k < 2; ++k) {
            if ((round + k) % 2 == 0) {
                fleet = run_fleet(copies);
            } else {
                bare = run_bare(lines);
            }
            Sleep(kSettleMs);
        }
        for (const Timing* t : {&fleet, &bare}) {
            if (t->error != nullptr) {
                std::fprintf(stderr, "bench_fleet_start_windows: %s\n", t->error);
                return 1;
            }
        }
        std::printf("%5d  %10.1f  %9.1f  %11.1f  %10.1f\n", round, fleet.loop * 1e3,
                    bare.loop * 1e3, fleet.ready * 1e3, bare.ready * 1e3);
        std::fflush(stdout);
        fleet_loop.push_back(fleet.loop);
        fleet_ready.push_back(fleet.ready);
        bare_loop.push_back(bare.loop);
        bare_ready.push_back(bare.ready);
        ratio_loop.push_back(fleet.loop / bare.loop);
        ratio_ready.push_back(fleet.ready / bare.ready);
    }
    std::printf("median %10.1f  %9.1f  %11.1f  %10.1f\n", median(fleet_loop) * 1e3,
                median(bare_loop) * 1e3, median(fleet_ready) * 1e3, median(bare_ready) * 1e3);
    std::printf("fleet / bare, median of the rounds' ratios: loop %.3f, until all run %.3f\n",
                median(ratio_loop), median(ratio_ready));
    return 0;
}
