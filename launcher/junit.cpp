#include "junit.h"

#include <cstdint>
#include <sys/types.h>

#include <cstdio>

#include "record.h"

namespace {

void append_utf8(std::string* out, uint32_t c) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool xml_allows(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes one UTF-8 character at `s[i]`; returns its length, or 0 if the
// bytes there are not a valid, shortest encoding.
size_t decode(const std::string& s, size_t i, uint32_t* c) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t length;
    uint32_t min;
    if (b < 0x80) {
        *c = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        length = 2, min = 0x80, *c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3, min = 0x800, *c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, *c = b & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        *c = (*c << 6) | (next & 0x3F);
    }
    return *c >= min ? length : 0;
}

// Bytes that xml_text passes on as they are: printable ASCII but markup.
bool plain_xml(const std::string& text) {
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7f || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'')
            return false;
    }
    return true;
}

void add_text(std::string* out, const std::string& text) {
    if (plain_xml(text)) {
        *out += text;
    } else {
        *out += xml_text(text);
    }
}

// "12.345": milliseconds as seconds, exactly and without the C library's
// floating point, which a report of a million copies would feel.
void add_seconds(std::string* out, int64_t ms) {
    if (ms < 0) {
        *out += '-';
        ms = ms == INT64_MIN ? INT64_MAX : -ms;
    }
    *out += std::to_string(ms / 1000);
    char fraction[5] = {'.', static_cast<char>('0' + ms / 100 % 10),
                        static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10),
                        '\0'};
    *out += fraction;
}

// The end of a copy's output file, at most kJunitOutputTail bytes.
std::string file_tail(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::string();
    std::string tail;
    // off_t is 64-bit with the build's large-file support, so a file past
    // 2 GiB has its tail read as on a 64-bit machine, not none (ftell's long
    // is 32-bit on 32-bit systems and on Windows).
    if (fseeko(file, 0, SEEK_END) == 0) {
        off_t size = ftello(file);
        off_t from = size > static_cast<off_t>(kJunitOutputTail)
                         ? size - static_cast<off_t>(kJunitOutputTail)
                         : 0;
        if (size >= 0 && fseeko(file, from, SEEK_SET) == 0) {
            tail.resize(static_cast<size_t>(size - from));
            tail.resize(std::fread(&tail[0], 1, tail.size(), file));
        }
    }
    std::fclose(file);
    return tail;
}

}  // namespace

std::string xml_text(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t c = 0;
        size_t length = decode(bytes, i, &c);
        if (length == 0 || !xml_allows(c)) {
            c = 0xFFFD;
            length = length == 0 ? 1 : length;
        }
        i += length;
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            // Kept as characters, not normalized away in attributes.
            case '\r':
                out += "&#13;";
                break;
            case '\t':
                out += "&#9;";
                break;
            default:
                append_utf8(&out, c);
        }
    }
    return out;
}

std::string junit_document(const CopyRecord* copies, int32_t count, int64_t elapsed_ms) {
    // Counted first, so that the head goes before the cases in one string: a
    // report of a million tries is not copied again to put it in front.
    int32_t failures = 0, skipped = 0;
    size_t size = 256;
    for (int32_t i = 0; i < count; ++i) {
        const CopyRecord& copy = copies[i];
        const TryRecord* last = last_try(copy);
        size += 96;
        if (copy_failed(copy)) {
            ++failures;
            size += 96;
        } else if (flaky_try(copy) > 0) {
            size += 112 * copy.tries.size();
        } else if (last == nullptr || last->outcome == TryOutcome::kStopped ||
                   last->outcome == TryOutcome::kNotTried) {
            ++skipped;
            size += 64;
        }
    }
    std::string cases =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<testsuites>\n"
        "<testsuite name=\"SpawnBench\" tests=\"" +
        std::to_string(count) + "\" failures=\"" + std::to_string(failures) +
        "\" errors=\"0\" skipped=\"" + std::to_string(skipped) + "\" time=\"";
    add_seconds(&cases, elapsed_ms);
    cases += "\">\n";
    cases.reserve(size);
    // A flaky copy's failed tries mostly end alike: their words are made once.
    TryRecord worded;
    std::string words;
    for (int32_t i = 0; i < count; ++i) {
        const CopyRecord& copy = copies[i];
        int64_t total_ms = 0;
        for (const TryRecord& attempt : copy.tries) total_ms += attempt.runtime_ms;
        cases += "  <testcase classname=\"SpawnBench\" name=\"copy ";
        cases += std::to_string(copy.copy);
        if (copy.share > 0) {
            cases += ": indices ";
            cases += std::to_string(copy.first);
            cases += '-';
            cases += std::to_string(static_cast<int64_t>(copy.first) + copy.share - 1);
        } else {
            cases += ": no indices";
        }
        cases += "\" time=\"";
        add_seconds(&cases, total_ms);
        cases += '"';
        const size_t open_end = cases.size();
        const TryRecord* last = last_try(copy);
        if (copy_failed(copy)) {
            cases += ">\n    <failure message=\"";
            add_text(&cases, how_it_failed(copy));
            cases += "\"/>\n";
        } else if (flaky_try(copy) > 0) {
            // As Surefire marks a test that passed on a rerun: one per failed try.
            cases += ">\n";
            int32_t number = 0;
            for (const TryRecord& attempt : copy.tries) {
                if (attempt.outcome == TryOutcome::kNotTried) continue;
                ++number;
                if (!try_failed(attempt)) continue;
                if (words.empty() || attempt.outcome != worded.outcome ||
                    attempt.code != worded.code || attempt.timeout_ms != worded.timeout_ms ||
                    (attempt.outcome == TryOutcome::kTimedOut &&
                     attempt.runtime_ms != worded.runtime_ms)) {
                    words = try_words(attempt);
                    worded = attempt;
                }
                cases += "    <flakyFailure message=\"try ";
                cases += std::to_string(number);
                cases += ": copy ";
                cases += std::to_string(copy.copy);
                cases += ' ';
                add_text(&cases, words);
                cases += "\" type=\"";
                add_text(&cases, words);
                cases += "\"/>\n";
            }
        } else if (last == nullptr || last->outcome == TryOutcome::kStopped ||
                   last->outcome == TryOutcome::kNotTried) {
            const char* why = last == nullptr ? "never tried: no line in the job log"
                              : last->outcome == TryOutcome::kStopped
                                  ? "stopped by SpawnBench"
                                  : "never tried: the fleet was stopped";
            cases += ">\n    <skipped message=\"";
            cases += why;
            cases += "\"/>\n";
        }
        if (!copy.output.empty() && tries_run(copy) > 0) {
            if (cases.size() == open_end) cases += ">\n";
            cases += "    <system-out>" + xml_text(file_tail(copy.output)) + "</system-out>\n";
        }
        cases += cases.size() == open_end ? "/>\n" : "  </testcase>\n";
    }
    cases += "</testsuite>\n</testsuites>\n";
    return cases;
}
