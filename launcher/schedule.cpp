#include "schedule.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double kMaxTimeoutSeconds = 30.0 * 24 * 3600;

}  // namespace

Schedule::Schedule(const std::vector<int32_t>& copies, const CampaignLimits& limits)
    : limits_(limits) {
    slots_.reserve(copies.size());
    for (int32_t copy : copies) {
        Slot slot;
        slot.copy = copy;
        slots_.push_back(slot);
    }
    waiting_ = static_cast<int32_t>(slots_.size());
}

ScheduleStep Schedule::next(int64_t now_ms) const {
    ScheduleStep step;
    if (stopping_ || failure_limit_reached()) return step;
    if (limits_.timeout_ms > 0) {
        for (int32_t i : running_slots_) {
            if (now_ms >= slots_[static_cast<size_t>(i)].deadline_ms) step.time_out.push_back(i);
        }
        std::sort(step.time_out.begin(), step.time_out.end());
    }
    // A slot being timed out is free again once the loop has stopped it.
    int64_t busy = running_ - static_cast<int64_t>(step.time_out.size());
    int64_t free = limits_.jobs > 0 ? limits_.jobs - busy : waiting_;
    for (size_t i = first_waiting_; i < slots_.size() && free > 0; ++i) {
        if (slots_[i].state == SlotState::kWaiting) {
            step.start.push_back(static_cast<int32_t>(i));
            --free;
        }
    }
    return step;
}

int64_t Schedule::next_deadline() const {
    if (limits_.timeout_ms <= 0 || running_ == 0) return -1;
    int64_t next = -1;
    for (int32_t i : running_slots_) {
        int64_t deadline = slots_[static_cast<size_t>(i)].deadline_ms;
        if (next < 0 || deadline < next) next = deadline;
    }
    return next;
}

void Schedule::started(int32_t slot, int64_t now_ms) {
    Slot& s = slots_[static_cast<size_t>(slot)];
    if (s.state != SlotState::kWaiting) return;
    s.state = SlotState::kRunning;
    ++s.tries;
    s.deadline_ms = limits_.timeout_ms > 0 ? now_ms + limits_.timeout_ms : 0;
    s.running_at = static_cast<int32_t>(running_slots_.size());
    running_slots_.push_back(slot);
    --waiting_;
    ++running_;
    while (first_waiting_ < slots_.size() && slots_[first_waiting_].state != SlotState::kWaiting)
        ++first_waiting_;
}

void Schedule::leave_running(int32_t slot) {
    Slot& s = slots_[static_cast<size_t>(slot)];
    int32_t last = running_slots_.back();
    running_slots_[static_cast<size_t>(s.running_at)] = last;
    slots_[static_cast<size_t>(last)].running_at = s.running_at;
    running_slots_.pop_back();
    s.running_at = -1;
    --running_;
}

bool Schedule::ended(int32_t slot, TryEnd end) {
    Slot& s = slots_[static_cast<size_t>(slot)];
    if (s.state != SlotState::kRunning) return false;
    leave_running(slot);
    if (end == TryEnd::kPassed) {
        s.state = SlotState::kPassed;
        return false;
    }
    if (!stopping_ && s.tries <= limits_.retries) {
        s.state = SlotState::kWaiting;
        ++waiting_;
        first_waiting_ = std::min(first_waiting_, static_cast<size_t>(slot));
        return true;
    }
    s.state = SlotState::kFailed;
    ++failed_;
    return false;
}

void Schedule::stop() {
    if (stopping_) return;
    stopping_ = true;
    for (Slot& s : slots_) {
        if (s.state != SlotState::kWaiting) continue;
        // A copy waiting for another try failed its last one.
        s.state = s.tries == 0 ? SlotState::kNotTried : SlotState::kFailed;
        --waiting_;
    }
    first_waiting_ = slots_.size();
}

void Schedule::stopped(int32_t slot) {
    Slot& s = slots_[static_cast<size_t>(slot)];
    if (s.state != SlotState::kRunning) return;
    leave_running(slot);
    s.state = SlotState::kStopped;
}

bool parse_copy_list(const char* text, int32_t count, std::vector<int32_t>* copies,
                     std::string* error) {
    std::vector<int32_t> result;
    std::string list = text;
    size_t begin = 0;
    auto number = [&](const std::string& item, const std::string& part, int64_t* value) {
        if (part.empty() || part.size() > 10 ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            *error = "invalid copy list '" + list + "': '" + item +
                     "' is not a copy number or a range such as 7-9";
            return false;
        }
        *value = std::strtoll(part.c_str(), nullptr, 10);
        if (*value >= count) {
            *error = "copy " + part + " is not in the plan, which has " +
                     (count > 0 ? "copies 0 to " + std::to_string(count - 1) : "no copies");
            return false;
        }
        return true;
    };
    for (;;) {
        size_t comma = list.find(',', begin);
        std::string item = list.substr(begin, comma == std::string::npos ? comma : comma - begin);
        if (item.empty()) {
            *error = "invalid copy list '" + list + "': an item is empty";
            return false;
        }
        size_t dash = item.find('-');
        int64_t first = 0, last = 0;
        if (!number(item, item.substr(0, dash), &first)) return false;
        last = first;
        if (dash != std::string::npos && !number(item, item.substr(dash + 1), &last)) return false;
        if (last < first) {
            *error = "invalid copy list '" + list + "': the range " + item + " is reversed";
            return false;
        }
        for (int64_t c = first; c <= last; ++c) result.push_back(static_cast<int32_t>(c));
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    *copies = std::move(result);
    return true;
}

bool parse_timeout(const char* text, int64_t* milliseconds) {
    // Digits with at most one point: no sign, exponent, hex, "inf" or "nan".
    std::string t = text;
    if (t.empty() || t.find_first_not_of("0123456789.") != std::string::npos ||
        t.find('.') != t.rfind('.') || t == ".") {
        return false;
    }
    errno = 0;
    double seconds = std::strtod(t.c_str(), nullptr);
    if (errno == ERANGE || !(seconds > 0) || seconds > kMaxTimeoutSeconds) return false;
    *milliseconds = static_cast<int64_t>(std::ceil(seconds * 1000.0));
    return true;
}

std::string format_copy_list(const std::vector<int32_t>& copies) {
    std::string text;
    for (size_t i = 0; i < copies.size();) {
        size_t j = i;
        while (j + 1 < copies.size() && copies[j + 1] == copies[j] + 1) ++j;
        if (!text.empty()) text += ",";
        text += std::to_string(copies[i]);
        if (j > i) text += "-" + std::to_string(copies[j]);
        i = j + 1;
    }
    return text;
}
