#include "html.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "campaign_page.h"  // kCampaignPage, generated from campaign_page.html

namespace {

// The failed copies listed with their words; the counts hold the rest, so a
// campaign that failed throughout keeps its page small.
constexpr size_t kFailedListed = 1000;
// Patterns tried on each copy's text before a new one is made.
constexpr size_t kPatternsTried = 8;
// Choices among the ways of reading a text's numbers.
constexpr size_t kPatternChoices = 64;
// Where the template takes the data.
constexpr const char kDataSlot[] = "id=\"campaign\">null</script>";

const char* const kOutcomeNames[] = {"running",   "exited",  "signaled",   "start failed",
                                     "timed out", "stopped", "never tried"};

void add_int(std::string* out, int64_t value) {
    char digits[24];
    auto done = std::to_chars(digits, digits + sizeof digits, value);
    out->append(digits, done.ptr);
}

// The length of the UTF-8 sequence at `p` (before `end`), or 0 if it is not
// a valid one.
size_t utf8_length(const unsigned char* p, const unsigned char* end) {
    size_t length = 0;
    uint32_t low = 0;
    if (p[0] < 0x80) return 1;
    if (p[0] >= 0xc2 && p[0] <= 0xdf) {
        length = 2;
        low = 0x80;
    } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
        length = 3;
        low = 0x800;
    } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
        length = 4;
        low = 0x10000;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < length) return 0;
    uint32_t code = p[0] & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3f);
    }
    if (code < low || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

// A JSON string that is safe inside a script element: '<', '>' and '&' are
// escaped, so neither "</script" nor "<!--" can occur, and bytes that are not
// UTF-8 (file names need not be) become U+FFFD.
void add_string(std::string* out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    *out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7f) {
            *out += "\\u00";
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else if (c >= 0x80) {
            size_t length = utf8_length(p, end);
            if (length == 0) {
                *out += "\\ufffd";
                ++p;
                continue;
            }
            // U+2028 and U+2029 end a line in older JavaScript.
            if (length == 3 && p[0] == 0xe2 && p[1] == 0x80 && (p[2] == 0xa8 || p[2] == 0xa9)) {
                *out += p[2] == 0xa8 ? "\\u2028" : "\\u2029";
            } else {
                out->append(reinterpret_cast<const char*>(p), length);
            }
            p += length;
            continue;
        } else {
            *out += static_cast<char>(c);
        }
        ++p;
    }
    *out += '"';
}

// A command line or file name usually differs from copy to copy only by the
// copy's numbers: stored once as a pattern with {copy}, {first} and {share}.
// Whether `pattern`, its {copy}, {first} and {share} put in for `copy`,
// gives `text`, without building it: a page of a million tries asks this
// for every one.
bool expands_to(const std::string& pattern, const CopyRecord& copy, const std::string& text) {
    size_t at = 0;
    auto take = [&](int32_t number) {
        char digits[16];
        auto done = std::to_chars(digits, digits + sizeof digits, number);
        size_t length = static_cast<size_t>(done.ptr - digits);
        if (text.compare(at, length, digits, length) != 0) return false;
        at += length;
        return true;
    };
    for (size_t i = 0; i < pattern.size();) {
        if (pattern[i] == '{') {
            if (pattern.compare(i, 6, "{copy}") == 0) {
                if (!take(copy.copy)) return false;
                i += 6;
                continue;
            }
            if (pattern.compare(i, 7, "{first}") == 0) {
                if (!take(copy.first)) return false;
                i += 7;
                continue;
            }
            if (pattern.compare(i, 7, "{share}") == 0) {
                if (!take(copy.share)) return false;
                i += 7;
                continue;
            }
        }
        if (at >= text.size() || text[at] != pattern[i]) return false;
        ++at;
        ++i;
    }
    return at == text.size();
}

// Patterns for `text` in which runs of digits that spell one of the copy's
// numbers become its name, or stay as they are: every choice, in order, up
// to a bound.
std::vector<std::string> derive_patterns(const std::string& text, const CopyRecord& copy) {
    const std::pair<const char*, std::string> names[] = {{"{first}", std::to_string(copy.first)},
                                                         {"{share}", std::to_string(copy.share)},
                                                         {"{copy}", std::to_string(copy.copy)}};
    std::vector<std::string> pieces;                // literal text and digit runs, alternating
    std::vector<std::vector<std::string>> choices;  // for each digit run
    for (size_t i = 0; i < text.size();) {
        size_t j = i;
        bool digits = text[i] >= '0' && text[i] <= '9';
        while (j < text.size() && (text[j] >= '0' && text[j] <= '9') == digits) ++j;
        std::string piece = text.substr(i, j - i);
        if (digits) {
            std::vector<std::string> options;
            for (const auto& name : names) {
                if (piece == name.second) options.push_back(name.first);
            }
            if (!options.empty()) {
                options.push_back(piece);
                pieces.push_back(std::string());
                choices.push_back(options);
                i = j;
                continue;
            }
        }
        pieces.push_back(piece);
        choices.push_back({});
        i = j;
    }
    std::vector<std::string> patterns;
    std::vector<size_t> pick(pieces.size(), 0);
    for (size_t round = 0; round < kPatternChoices; ++round) {
        std::string pattern;
        for (size_t k = 0; k < pieces.size(); ++k)
            pattern += choices[k].empty() ? pieces[k] : choices[k][pick[k]];
        if (pattern != text) patterns.push_back(pattern);
        // The next choice, the last run turning fastest.
        bool wrapped = true;
        for (size_t k = pieces.size(); k-- > 0;) {
            if (choices[k].empty()) continue;
            if (++pick[k] < choices[k].size()) {
                wrapped = false;
                break;
            }
            pick[k] = 0;
        }
        if (wrapped) break;
    }
    return patterns;
}

class Patterns {
public:
    // The index of a pattern that gives `text` for `copy`, or -1 when the
    // text must be kept as it is (empty, or no pattern can give it). `next` and `next_text`, the
    // following copy's, settle what one copy cannot (copy 0 has first 0).
    int64_t find(const std::string& text, const CopyRecord& copy, const CopyRecord* next,
                 const std::string* next_text) {
        if (text.empty()) return -1;
        for (size_t k = 0; k < recent_.size(); ++k) {
            size_t index = recent_[recent_.size() - 1 - k];
            if (expands_to(list_[index], copy, text)) return static_cast<int64_t>(index);
        }
        // The text itself last: one that repeats (a host) is stored once too.
        std::vector<std::string> candidates = derive_patterns(text, copy);
        candidates.push_back(text);
        const std::string* chosen = nullptr;
        for (const std::string& pattern : candidates) {
            // A text holding "{copy}" itself cannot be its own pattern.
            if (!expands_to(pattern, copy, text)) continue;
            if (chosen == nullptr) chosen = &pattern;
            if (next != nullptr && expands_to(pattern, *next, *next_text)) {
                chosen = &pattern;
                break;
            }
        }
        if (chosen == nullptr) return -1;
        list_.push_back(*chosen);
        recent_.push_back(list_.size() - 1);
        if (recent_.size() > kPatternsTried) recent_.erase(recent_.begin());
        return static_cast<int64_t>(list_.size() - 1);
    }
    const std::vector<std::string>& list() const { return list_; }

private:
    std::vector<std::string> list_;
    std::vector<size_t> recent_;
};

void add_text_or_pattern(std::string* out, Patterns* patterns, const std::string& text,
                         const CopyRecord& copy, const CopyRecord* next,
                         const std::string* next_text) {
    int64_t index = patterns->find(text, copy, next, next_text);
    if (index >= 0) {
        add_int(out, index);
    } else {
        add_string(out, text);
    }
}

// Words that many tries share, stored once.
class Words {
public:
    size_t index(const std::string& words) {
        for (size_t k = 0; k < recent_.size(); ++k) {
            size_t i = recent_[k];
            if (list_[i] == words) return i;
        }
        list_.push_back(words);
        recent_.insert(recent_.begin(), list_.size() - 1);
        if (recent_.size() > 64) recent_.pop_back();
        return list_.size() - 1;
    }
    const std::vector<std::string>& list() const { return list_; }

private:
    std::vector<std::string> list_;
    std::vector<size_t> recent_;
};

// The lane (slot) of each try, in the order of the copies and their tries, -1
// for a try that never ran: each try takes the lowest lane free at its start.
// With a limit of jobs there are never more lanes than jobs; a try that starts
// a moment before the one it follows is seen to end (the clocks' grain)
// shares the lane freed first.
std::vector<int32_t> assign_lanes(const CampaignRecord& campaign, int32_t* lane_count) {
    struct Span {
        int64_t start, end;
        size_t index;
    };
    std::vector<Span> spans;
    size_t total = 0;
    for (const CopyRecord& copy : campaign.copies) {
        for (const TryRecord& attempt : copy.tries) {
            if (attempt.outcome != TryOutcome::kNotTried)
                spans.push_back({attempt.start_epoch_ms,
                                 attempt.start_epoch_ms + std::max<int64_t>(attempt.runtime_ms, 0),
                                 total});
            ++total;
        }
    }
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.start < b.start; });
    const int32_t cap = campaign.jobs > 0 ? campaign.jobs : INT32_MAX;
    using Busy = std::pair<int64_t, int32_t>;  // its end, the lane
    std::priority_queue<Busy, std::vector<Busy>, std::greater<Busy>> busy;
    std::priority_queue<int32_t, std::vector<int32_t>, std::greater<int32_t>> free_lanes;
    std::vector<int32_t> lanes(total, -1);
    int32_t count = 0;
    for (const Span& span : spans) {
        while (!busy.empty() && busy.top().first <= span.start) {
            free_lanes.push(busy.top().second);
            busy.pop();
        }
        int32_t lane;
        if (!free_lanes.empty()) {
            lane = free_lanes.top();
            free_lanes.pop();
        } else if (count < cap) {
            lane = count++;
        } else {
            lane = busy.top().second;
            busy.pop();
        }
        lanes[span.index] = lane;
        busy.push({span.end, lane});
    }
    *lane_count = count;
    return lanes;
}

std::string campaign_json(const CampaignRecord& campaign) {
    const CopyRecord* copies = campaign.copies.data();
    const int32_t count = static_cast<int32_t>(campaign.copies.size());
    const CampaignCounts counts = campaign_counts(copies, count);
    int32_t lane_count = 0;
    const std::vector<int32_t> lanes = assign_lanes(campaign, &lane_count);
    const int64_t begin = counts.begin_epoch_ms;
    const int64_t wall = counts.end_epoch_ms - begin;

    std::string copy_rows, try_rows;
    copy_rows.reserve(campaign.copies.size() * 28);
    try_rows.reserve(campaign.copies.size() * 36);
    Patterns patterns;
    Words words;
    size_t index = 0;
    for (size_t c = 0; c < campaign.copies.size(); ++c) {
        const CopyRecord& copy = campaign.copies[c];
        const CopyRecord* next = c + 1 < campaign.copies.size() ? &campaign.copies[c + 1] : nullptr;
        copy_rows += copy_rows.empty() ? "[" : ",[";
        add_int(&copy_rows, copy.copy);
        copy_rows += ',';
        add_int(&copy_rows, copy.first);
        copy_rows += ',';
        add_int(&copy_rows, copy.share);
        copy_rows += ',';
        add_text_or_pattern(&copy_rows, &patterns, copy.command, copy, next,
                            next ? &next->command : nullptr);
        copy_rows += ',';
        add_text_or_pattern(&copy_rows, &patterns, copy.output, copy, next,
                            next ? &next->output : nullptr);
        copy_rows += ',';
        add_text_or_pattern(&copy_rows, &patterns, copy.host, copy, next,
                            next ? &next->host : nullptr);
        copy_rows += ']';
        for (const TryRecord& attempt : copy.tries) {
            int64_t start = attempt.start_epoch_ms - begin;
            // A try that never ran may carry no time of its own.
            if (attempt.outcome == TryOutcome::kNotTried)
                start = std::min(std::max<int64_t>(start, 0), wall);
            try_rows += try_rows.empty() ? "[" : ",[";
            add_int(&try_rows, copy.copy);
            try_rows += ',';
            add_int(&try_rows, start);
            try_rows += ',';
            add_int(&try_rows, attempt.runtime_ms);
            try_rows += ',';
            add_int(&try_rows, static_cast<int64_t>(attempt.outcome));
            try_rows += ',';
            add_int(&try_rows, attempt.code);
            try_rows += ',';
            add_int(&try_rows, lanes[index++]);
            try_rows += ',';
            add_int(&try_rows, static_cast<int64_t>(words.index(try_words(attempt))));
            try_rows += ']';
        }
    }

    std::string flaky, failed;
    size_t listed = 0;
    for (const CopyRecord& copy : campaign.copies) {
        if (int32_t passing = flaky_try(copy)) {
            flaky += flaky.empty() ? "[" : ",[";
            add_int(&flaky, copy.copy);
            flaky += ',';
            add_int(&flaky, passing);
            flaky += ']';
        }
        if (copy_failed(copy) && listed < kFailedListed) {
            ++listed;
            failed += failed.empty() ? "[" : ",[";
            add_int(&failed, copy.copy);
            failed += ',';
            add_string(&failed, how_it_failed(copy));
            failed += ']';
        }
    }

    std::string json = "{\"format\":1,\"jobs\":";
    add_int(&json, campaign.jobs);
    json += ",\"lanes\":";
    add_int(&json, lane_count);
    json += ",\"begin_ms\":";
    add_int(&json, begin);
    json += ",\"wall_ms\":";
    add_int(&json, wall);
    json += ",\"stop_reason\":";
    add_string(&json, campaign.stop_reason);
    json += ",\n\"counts\":{\"copies\":";
    add_int(&json, counts.copies);
    const std::pair<const char*, int64_t> fields[] = {
        {"passed", counts.passed},   {"failed", counts.failed}, {"flaky", counts.flaky},
        {"stopped", counts.stopped}, {"never", counts.never},   {"running", counts.running},
        {"tries", counts.tries}};
    for (const auto& field : fields) {
        json += ",\"";
        json += field.first;
        json += "\":";
        add_int(&json, field.second);
    }
    json += "},\n\"outcomes\":[";
    for (size_t i = 0; i < sizeof kOutcomeNames / sizeof kOutcomeNames[0]; ++i) {
        json += i > 0 ? ",\"" : "\"";
        json += kOutcomeNames[i];
        json += '"';
    }
    json += "],\n\"patterns\":[";
    for (size_t i = 0; i < patterns.list().size(); ++i) {
        if (i > 0) json += ',';
        add_string(&json, patterns.list()[i]);
    }
    json += "],\n\"words\":[";
    for (size_t i = 0; i < words.list().size(); ++i) {
        if (i > 0) json += ',';
        add_string(&json, words.list()[i]);
    }
    json += "],\n\"flaky\":{\"columns\":[\"copy\",\"passed_on\"],\"rows\":[" + flaky;
    json += "]},\n\"failed\":{\"columns\":[\"copy\",\"words\"],\"rows\":[" + failed;
    json +=
        "]},\n\"copies\":{\"columns\":[\"copy\",\"first\",\"share\",\"command\",\"output\","
        "\"host\"],\"rows\":[";
    json += copy_rows;
    json +=
        "]},\n\"tries\":{\"columns\":[\"copy\",\"start\",\"runtime\",\"outcome\",\"code\","
        "\"lane\",\"words\"],\"rows\":[";
    json += try_rows;
    json += "]}}";
    return json;
}

}  // namespace

std::string campaign_page(const CampaignRecord& campaign) {
    const std::string page(kCampaignPage);
    const size_t slot = page.find(kDataSlot);
    if (slot == std::string::npos) return page;  // a template without its slot: caught by the tests
    const size_t before = slot + std::strlen("id=\"campaign\">");
    const std::string json = campaign_json(campaign);
    std::string out;
    out.reserve(page.size() + json.size());
    out.append(page, 0, before);
    out += json;
    out.append(page, before + std::strlen("null"), std::string::npos);
    return out;
}
