#include "plan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

FleetPlan fleet_plan(int32_t total, int32_t maximum) {
    FleetPlan plan{0, 0, 0};
    if (maximum < 1) return plan;
    plan.count = total / maximum + (total % maximum != 0 ? 1 : 0);
    if (plan.count > 0) {
        plan.share = total / plan.count;
        plan.extra = total % plan.count;
    }
    return plan;
}

FleetCopy fleet_copy(const FleetPlan& plan, int32_t index) {
    // 64-bit on the way: for a valid index the result fits again.
    int64_t extra_before = index < plan.extra ? index : plan.extra;
    int64_t start = static_cast<int64_t>(index) * plan.share + extra_before;
    int32_t share = plan.share + (index < plan.extra ? 1 : 0);
    return FleetCopy{static_cast<int32_t>(start), share};
}

bool fleet_command_line(char* out, size_t out_size, const char* tmpl, const FleetCopy& copy,
                        int32_t index) {
    if (out == nullptr || out_size == 0) return false;
    int written = std::snprintf(out, out_size, "%s %s %d %d %d", kCoreTestProgram, tmpl, copy.start,
                                copy.share, index);
    return written >= 0 && static_cast<size_t>(written) < out_size;
}

bool parse_maximum(const char* text, int32_t* maximum) {
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < 1 || value > INT32_MAX) return false;
    *maximum = static_cast<int32_t>(value);
    return true;
}

int32_t parse_total(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}
