#include "record.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "options.h"
#include "vorn_report_util.h"

namespace {

constexpr int32_t kNamedCopies = 5;

std::string seconds_text(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(ms) / 1000.0);
    return text;
}

// The named ones joined by "; ", the rest counted.
std::string named_list(const std::vector<std::string>& named, int32_t count) {
    std::string text;
    for (size_t i = 0; i < named.size(); ++i) text += (i > 0 ? "; " : "") + named[i];
    if (count > static_cast<int32_t>(named.size()))
        text += "; and " + std::to_string(count - static_cast<int32_t>(named.size())) + " more";
    return text;
}

// A job log's number field: optional blanks (parallel pads JobRuntime), an
// optional '-', digits, and for `decimals` an optional fraction. In
// milliseconds when `decimals`, as is otherwise. False if it does not fit.
bool parse_field(const char* begin, const char* end, bool decimals, int64_t* value) {
    while (begin < end && *begin == ' ') ++begin;
    bool negative = begin < end && *begin == '-';
    if (negative) ++begin;
    if (begin == end) return false;
    int64_t whole = 0;
    const int64_t limit = INT64_MAX / 1000 / 10;
    const char* p = begin;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (whole > limit) return false;
        whole = whole * 10 + (*p - '0');
    }
    if (p == begin) return false;
    int64_t fraction = 0;
    if (decimals) {
        int64_t scale = 100;
        if (p < end && *p == '.') {
            for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
                fraction += (*p - '0') * scale;
                scale /= 10;
            }
        }
        whole = whole * 1000 + fraction;
    }
    if (p != end) return false;
    *value = negative ? -whole : whole;
    return true;
}

// Whether a logged Command is `command` as joblog_command writes it.
bool same_command(const char* begin, const char* end, const std::string& command) {
    if (static_cast<size_t>(end - begin) != command.size()) return false;
    for (size_t i = 0; i < command.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(command[i]);
        char shown = c < 0x20 || c == 0x7f ? '?' : command[i];
        if (begin[i] != shown) return false;
    }
    return true;
}

// What a job log line's Exitval and Signal say of its try.
TryRecord try_from_fields(int64_t exit_value, int64_t signal_number, int64_t runtime_ms) {
    TryRecord attempt;
    attempt.runtime_ms = runtime_ms;
    if (signal_number == kStopSignal && exit_value == -1) {
        attempt.outcome = TryOutcome::kStopped;
    } else if (signal_number == kStopSignal && exit_value == kTimedOutStatus) {
        attempt.outcome = TryOutcome::kTimedOut;
    } else if (signal_number != 0) {
        attempt.outcome = TryOutcome::kSignaled;
        attempt.code = static_cast<int32_t>(signal_number);
    } else if (exit_value == -1) {
        attempt.outcome = TryOutcome::kNotTried;
    } else if (exit_value == kStartFailedStatus && runtime_ms == 0) {
        attempt.outcome = TryOutcome::kStartFailed;
    } else {
        attempt.outcome = TryOutcome::kExited;
        attempt.code = static_cast<int32_t>(exit_value);
    }
    return attempt;
}

}  // namespace

bool try_passed(const TryRecord& attempt) {
    return attempt.outcome == TryOutcome::kExited && attempt.code == 0;
}

bool try_failed(const TryRecord& attempt) {
    switch (attempt.outcome) {
        case TryOutcome::kStartFailed:
        case TryOutcome::kTimedOut:
        case TryOutcome::kSignaled:
            return true;
        case TryOutcome::kExited:
            return attempt.code != 0;
        default:
            return false;
    }
}

const TryRecord* last_try(const CopyRecord& copy) {
    return copy.tries.empty() ? nullptr : &copy.tries.back();
}

bool copy_passed(const CopyRecord& copy) {
    const TryRecord* last = last_try(copy);
    return last != nullptr && try_passed(*last);
}

bool copy_failed(const CopyRecord& copy) {
    const TryRecord* last = last_try(copy);
    return last != nullptr && try_failed(*last);
}

int32_t tries_run(const CopyRecord& copy) {
    int32_t count = 0;
    for (const TryRecord& attempt : copy.tries) count += attempt.outcome != TryOutcome::kNotTried;
    return count;
}

int32_t flaky_try(const CopyRecord& copy) {
    if (!copy_passed(copy)) return 0;
    bool failed = false;
    for (const TryRecord& attempt : copy.tries) failed = failed || try_failed(attempt);
    return failed ? tries_run(copy) : 0;
}

std::string ordinal(int32_t n) {
    const char* suffix = "th";
    if (n % 100 < 11 || n % 100 > 13) {
        if (n % 10 == 1) suffix = "st";
        if (n % 10 == 2) suffix = "nd";
        if (n % 10 == 3) suffix = "rd";
    }
    return std::to_string(n) + suffix;
}

std::string try_words(const TryRecord& attempt) {
    switch (attempt.outcome) {
        case TryOutcome::kRunning:
            return "is running";
        case TryOutcome::kExited:
            return "exited with status " + std::to_string(attempt.code);
        case TryOutcome::kSignaled: {
            std::string text = "was killed by signal " + std::to_string(attempt.code);
            if (const char* description = util_signal_description(attempt.code))
                text += std::string(" (") + description + ")";
            return text;
        }
        case TryOutcome::kStartFailed:
            return "could not be started";
        case TryOutcome::kTimedOut:
            // From a job log the limit is not known: what it ran is.
            return "timed out after " +
                   seconds_text(attempt.timeout_ms > 0 ? attempt.timeout_ms : attempt.runtime_ms) +
                   " s";
        case TryOutcome::kStopped:
            return "was stopped by SpawnBench";
        case TryOutcome::kNotTried:
            break;
    }
    return "was never tried";
}

std::string how_it_failed(const CopyRecord& copy) {
    std::string text = "copy " + std::to_string(copy.copy);
    if (const TryRecord* last = last_try(copy)) text += " " + try_words(*last);
    int32_t tries = tries_run(copy);
    if (tries > 1) text += " after " + std::to_string(tries) + " tries";
    if (!copy.output.empty())
        text += " (output in " + printable_argument(copy.output.c_str()) + ")";
    return text;
}

std::string failure_summary(const CopyRecord* copies, int32_t count) {
    int32_t failed = 0;
    std::vector<std::string> named;
    for (int32_t i = 0; i < count; ++i) {
        if (!copy_failed(copies[i])) continue;
        if (++failed <= kNamedCopies) named.push_back(how_it_failed(copies[i]));
    }
    if (failed == 0) return std::string();
    return "SpawnBench: " + std::to_string(failed) + " of " + std::to_string(count) +
           (count == 1 ? " copy" : " copies") + " failed: " + named_list(named, failed);
}

std::string flaky_summary(const CopyRecord* copies, int32_t count) {
    int32_t flaky = 0;
    std::vector<std::string> named;
    for (int32_t i = 0; i < count; ++i) {
        int32_t passing = flaky_try(copies[i]);
        if (passing == 0) continue;
        if (++flaky <= kNamedCopies)
            named.push_back("copy " + std::to_string(copies[i].copy) + " passed on its " +
                            ordinal(passing) + " try");
    }
    if (flaky == 0) return std::string();
    return "SpawnBench: " + std::to_string(flaky) + (flaky == 1 ? " copy was" : " copies were") +
           " flaky: " + named_list(named, flaky);
}

CampaignCounts campaign_counts(const CopyRecord* copies, int32_t count) {
    CampaignCounts counts;
    counts.copies = count;
    bool any = false;
    for (int32_t i = 0; i < count; ++i) {
        const CopyRecord& copy = copies[i];
        for (const TryRecord& attempt : copy.tries) {
            if (attempt.outcome == TryOutcome::kNotTried) continue;
            ++counts.tries;
            int64_t end = attempt.start_epoch_ms + attempt.runtime_ms;
            if (!any || attempt.start_epoch_ms < counts.begin_epoch_ms)
                counts.begin_epoch_ms = attempt.start_epoch_ms;
            if (!any || end > counts.end_epoch_ms) counts.end_epoch_ms = end;
            any = true;
        }
        const TryRecord* last = last_try(copy);
        if (last == nullptr || last->outcome == TryOutcome::kNotTried) {
            ++counts.never;
        } else if (last->outcome == TryOutcome::kRunning) {
            ++counts.running;
        } else if (last->outcome == TryOutcome::kStopped) {
            ++counts.stopped;
        } else if (try_passed(*last)) {
            ++counts.passed;
            counts.flaky += flaky_try(copy) > 0;
        } else {
            ++counts.failed;
        }
    }
    return counts;
}

std::string joblog_line(const CopyRecord& copy, const TryRecord& attempt) {
    long long exit_value = 0;
    unsigned signal_number = 0;
    switch (attempt.outcome) {
        case TryOutcome::kExited:
            exit_value = attempt.code;
            break;
        case TryOutcome::kSignaled:
            signal_number = static_cast<unsigned>(attempt.code);
            break;
        case TryOutcome::kStartFailed:
            exit_value = kStartFailedStatus;
            break;
        case TryOutcome::kStopped:
            exit_value = -1;
            signal_number = kStopSignal;
            break;
        case TryOutcome::kTimedOut:
            exit_value = kTimedOutStatus;
            signal_number = kStopSignal;
            break;
        default:
            exit_value = -1;
            break;
    }
    // Before 1970 (a clock set wrong) the fraction's sign would split off.
    int64_t start = attempt.start_epoch_ms > 0 ? attempt.start_epoch_ms : 0;
    char fields[160];
    std::snprintf(fields, sizeof fields,
                  "%" PRId32 "\t:\t%" PRId64 ".%03" PRId64 "\t%10.3f\t0\t0\t%lld\t%u\t",
                  copy.copy + 1, start / 1000, start % 1000,
                  static_cast<double>(attempt.runtime_ms) / 1000.0, exit_value, signal_number);
    return fields + joblog_command(copy.command) + "\n";
}

std::string joblog_command(const std::string& command) {
    std::string shown = command;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

bool read_joblog(const std::string& text, const std::string& name, const FleetPlan& plan,
                 const char* tmpl, std::vector<CopyRecord>* copies, std::string* error) {
    const std::string shown = "job log '" + printable_argument(name.c_str()) + "'";
    const int32_t count = plan.count > 0 ? plan.count : 0;
    copies->clear();
    copies->resize(static_cast<size_t>(count));
    // The plan's commands are made as lines name their copies: a log of a
    // few copies of a large plan costs only those.
    std::vector<bool> known(static_cast<size_t>(count), false);
    char planned[kCommandLineSize];
    for (int32_t c = 0; c < count; ++c) {
        CopyRecord& copy = (*copies)[static_cast<size_t>(c)];
        FleetCopy range = fleet_copy(plan, c);
        copy.copy = c;
        copy.first = range.start;
        copy.share = range.share;
    }

    const char* data = text.data();
    const char* const text_end = data + text.size();
    size_t line_number = 0;
    for (const char* line = data; line < text_end;) {
        const char* end = static_cast<const char*>(std::memchr(line, '\n', text_end - line));
        if (end == nullptr) end = text_end;
        const char* next = end < text_end ? end + 1 : end;
        if (end > line && end[-1] == '\r') --end;
        ++line_number;
        if (line_number == 1) {
            std::string header(kJobLogHeader);
            header.pop_back();
            if (std::string(line, end) != header) {
                *error = shown +
                         " is not a job log: its first line is not the header that --joblog "
                         "writes";
                return false;
            }
            line = next;
            continue;
        }
        if (end == line) {
            line = next;
            continue;
        }
        // Eight tab-ended fields, then the Command, which is the rest.
        const char* fields[9];
        const char* cursor = line;
        int found = 0;
        for (; found < 8; ++found) {
            fields[found] = cursor;
            const char* tab = static_cast<const char*>(std::memchr(cursor, '\t', end - cursor));
            if (tab == nullptr) break;
            cursor = tab + 1;
        }
        int64_t seq = 0, start = 0, runtime = 0, exit_value = 0, signal_number = 0;
        auto field_end = [&](int k) { return fields[k + 1] - 1; };
        if (found == 8) fields[8] = cursor;
        if (found != 8 || !parse_field(fields[0], field_end(0), false, &seq) ||
            !parse_field(fields[2], field_end(2), true, &start) ||
            !parse_field(fields[3], field_end(3), true, &runtime) ||
            !parse_field(fields[6], field_end(6), false, &exit_value) ||
            !parse_field(fields[7], field_end(7), false, &signal_number) || runtime < 0 ||
            exit_value < INT32_MIN || exit_value > INT32_MAX || signal_number < 0 ||
            signal_number > INT32_MAX) {
            *error = shown + " is not a job log: line " + std::to_string(line_number) +
                     " does not have its columns";
            return false;
        }
        if (seq < 1 || seq > count) {
            *error = shown + " was written for another plan: it has copy " +
                     std::to_string(seq - 1) + ", and this plan has " + std::to_string(count) +
                     " copies";
            return false;
        }
        CopyRecord& copy = (*copies)[static_cast<size_t>(seq - 1)];
        if (!known[static_cast<size_t>(seq - 1)]) {
            FleetCopy range{copy.first, copy.share};
            if (!fleet_command_line(planned, sizeof planned, tmpl, range, copy.copy))
                planned[0] = '\0';
            copy.command = planned;
            known[static_cast<size_t>(seq - 1)] = true;
        }
        if (!same_command(fields[8], end, copy.command)) {
            const std::string logged(fields[8], end);
            *error = shown + " was written for another plan: copy " + std::to_string(seq - 1) +
                     " ran '" + printable_argument(logged.c_str()) + "', this plan has '" +
                     joblog_command(copy.command) + "'";
            return false;
        }
        TryRecord attempt = try_from_fields(exit_value, signal_number, runtime);
        attempt.start_epoch_ms = start;
        copy.tries.push_back(attempt);
        if (copy.host.compare(0, std::string::npos, fields[1], field_end(1) - fields[1]) != 0)
            copy.host.assign(fields[1], field_end(1));
        line = next;
    }
    if (line_number == 0) {
        *error = shown + " is empty";
        return false;
    }
    return true;
}

std::vector<int32_t> copies_to_rerun(const std::vector<CopyRecord>& copies) {
    std::vector<int32_t> left;
    for (const CopyRecord& copy : copies) {
        if (!copy_passed(copy)) left.push_back(copy.copy);
    }
    return left;
}
