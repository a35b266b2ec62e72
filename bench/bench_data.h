// Deterministic inputs for the compression benchmarks: the same bytes on
// every run and every machine, so figures can be compared across runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

// xorshift64*: fast, fixed, and independent of the standard library's engines.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed != 0 ? seed : 0x9E3779B97F4A7C15ULL) {}
    uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }

private:
    uint64_t state_;
};

enum class DataKind { kText, kMixed, kRandom };

inline const char* data_kind_name(DataKind kind) {
    switch (kind) {
        case DataKind::kText:
            return "text";
        case DataKind::kMixed:
            return "mixed";
        case DataKind::kRandom:
            return "random";
    }
    return "?";
}

// Prose-like: a few hundred made-up words drawn with a skew toward the first
// ones, in sentences and lines, so it compresses about as well as English.
inline void append_text(Rng& rng, std::vector<uint8_t>& out, size_t size) {
    static const char* const kSyllables[] = {"ba",  "ke",  "lo",  "mi",   "nu",   "ra", "se", "ti",
                                             "vo",  "an",  "er",  "in",   "on",   "us", "th", "st",
                                             "pre", "con", "ing", "ment", "tion", "al"};
    constexpr uint32_t kSyllableCount = sizeof kSyllables / sizeof kSyllables[0];
    static std::vector<std::string> words;
    if (words.empty()) {
        Rng word_rng(7);
        for (int i = 0; i < 400; ++i) {
            std::string w;
            uint32_t parts = 1 + word_rng.below(3);
            for (uint32_t p = 0; p < parts; ++p) w += kSyllables[word_rng.below(kSyllableCount)];
            words.push_back(w);
        }
    }
    size_t line = 0;
    bool sentence_start = true;
    while (out.size() < size) {
        // The smaller of two draws favours the common words.
        uint32_t a = rng.below(static_cast<uint32_t>(words.size()));
        uint32_t b = rng.below(static_cast<uint32_t>(words.size()));
        std::string w = words[a < b ? a : b];
        if (sentence_start) w[0] = static_cast<char>(w[0] - 'a' + 'A');
        sentence_start = false;
        uint32_t punct = rng.below(20);
        if (punct == 0) {
            w += '.';
            sentence_start = true;
        } else if (punct == 1) {
            w += ',';
        }
        line += w.size() + 1;
        w += line > 72 ? '\n' : ' ';
        if (line > 72) line = 0;
        for (char c : w) {
            if (out.size() == size) break;
            out.push_back(static_cast<uint8_t>(c));
        }
    }
}

inline void append_random(Rng& rng, std::vector<uint8_t>& out, size_t size) {
    while (out.size() < size) {
        uint64_t v = rng.next();
        for (int i = 0; i < 8 && out.size() < size; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
}

// Like an application's binary file: fixed-layout records with counters and
// small numbers, stretches of text, of zeros and of noise.
inline void append_mixed(Rng& rng, std::vector<uint8_t>& out, size_t size) {
    uint32_t record = 0;
    while (out.size() < size) {
        size_t goal = out.size() + 256 + rng.below(4096);
        if (goal > size) goal = size;
        switch (rng.below(4)) {
            case 0:
                while (out.size() + 32 <= goal) {
                    uint8_t r[32] = {'R', 'E', 'C', '1'};
                    std::memcpy(r + 4, &record, sizeof record);
                    uint32_t value = rng.below(1000);
                    std::memcpy(r + 8, &value, sizeof value);
                    uint64_t stamp = 1700000000ULL + record * 17ULL;
                    std::memcpy(r + 12, &stamp, sizeof stamp);
                    r[20] = static_cast<uint8_t>(rng.below(4));
                    ++record;
                    out.insert(out.end(), r, r + sizeof r);
                }
                break;
            case 1:
                append_text(rng, out, goal);
                break;
            case 2:
                out.resize(goal, 0);
                break;
            default:
                append_random(rng, out, goal);
                break;
        }
        out.resize(goal, 0);
    }
}

inline std::vector<uint8_t> make_data(DataKind kind, size_t size) {
    Rng rng(kind == DataKind::kText ? 1 : kind == DataKind::kMixed ? 2 : 3);
    std::vector<uint8_t> out;
    out.reserve(size);
    switch (kind) {
        case DataKind::kText:
            append_text(rng, out, size);
            break;
        case DataKind::kMixed:
            append_mixed(rng, out, size);
            break;
        case DataKind::kRandom:
            append_random(rng, out, size);
            break;
    }
    return out;
}

}  // namespace bench
