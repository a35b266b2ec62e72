#include <cstdio>

#include "modes.h"
#include "stop_signals.h"
#include "vorn_contain.h"
#include "vorn_util.h"

namespace {

constexpr uint32_t kCopyPollMs = 10;
constexpr int kCannotStart = 127;  // as a shell reports a command it cannot run
constexpr int kKilled = 128 + 9;   // as a shell reports SIGKILL

}  // namespace

int run_copy(const LaunchSettings& settings, int32_t maximum, int32_t index) {
    FleetPlan plan = fleet_plan(settings.total, maximum);
    if (index < 0 || index >= plan.count) {
        if (plan.count > 0) {
            std::fprintf(stderr,
                         "SpawnBench: copy %d is not in the plan, which has copies 0 to %d\n",
                         index, plan.count - 1);
        } else {
            std::fprintf(stderr, "SpawnBench: copy %d is not in the plan, which has no copies\n",
                         index);
        }
        return 2;
    }
    char line[kCommandLineSize];
    if (!copy_command_line(settings, plan, index, line)) return 1;

    // Caught from before the start, so that no request is lost.
    util_catch_stop_signals();
    util_process_handle handle = util_process_cmd_launch_no_wait(line);
    if (handle == UTIL_NO_PROCESS) return kCannotStart;

    int passed_on = 0;
    uint32_t waited_ms = 0;
    bool late = false;
    util_process_end end{};
    int state;
    while (!late && (state = util_process_end_state(handle, &end)) == 0) {
        int signal_number = util_caught_stop_signal();
        if (passed_on == 0 && signal_number != 0) {
            util_process_signal(handle, signal_number);
            passed_on = signal_number;
        }
        late = passed_on != 0 && waited_ms >= kCopyGraceMs;
        util_sleep_ms(kCopyPollMs);
        if (passed_on != 0) waited_ms += kCopyPollMs;
    }
    // Whatever the copy left in its group goes with it, and all it started.
    util_process_kill_handle(handle);
    util_end_descendants();
    if (late) return kKilled;
    if (state < 0) {
        std::fprintf(stderr, "SpawnBench: cannot tell how copy %d ended\n", index);
        return 1;
    }
    return end.kind == UTIL_END_EXITED ? static_cast<int>(end.code)
                                       : 128 + static_cast<int>(end.code);
}
