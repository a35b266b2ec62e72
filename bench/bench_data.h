// Deterministic inputs for the compression benchmarks: the same bytes on
// every run and every machine, so figures can be compared across runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
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

enum class DataKind { kText, kMixed, kRandom, kCode };
constexpr int kDataKinds = 4;

inline const char* data_kind_name(DataKind kind) {
    switch (kind) {
        case DataKind::kText:
            return "text";
        case DataKind::kMixed:
            return "mixed";
        case DataKind::kRandom:
            return "random";
        case DataKind::kCode:
            return "code";
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

// Like the text section of an x86-64 program: functions of common
// instructions (frame set-up, loads and stores relative to the frame or a
// register, small immediates, compares and short jumps, calls and
// RIP-relative addresses whose 32-bit offsets change with their position),
// padded to 16 bytes. zlib takes it to about 56 %, within what it does with
// the .text of real programs (44 % for cmake, 57 % for bash).
inline void append_code(Rng& rng, std::vector<uint8_t>& out, size_t size) {
    auto put = [&out](std::initializer_list<int> bytes) {
        for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
    };
    auto put32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    // Call targets and data addresses, shared by all functions.
    const uint32_t functions = 2000, globals = 600;
    auto rel32 = [&out](uint32_t target) { return target - static_cast<uint32_t>(out.size()) - 4; };
    auto reg = [&rng] { return static_cast<int>(rng.below(8)); };
    auto frame_slot = [&rng] { return static_cast<int>(0x100 - 8 * (1 + rng.below(12))); };
    while (out.size() < size) {
        put({0x55, 0x48, 0x89, 0xE5});                                     // push rbp; mov rbp, rsp
        if (rng.below(2)) put({0x53});                                     // push rbx
        put({0x48, 0x83, 0xEC, 16 * static_cast<int>(1 + rng.below(6))});  // sub rsp, n
        uint32_t length = 8 + rng.below(60);
        for (uint32_t i = 0; i < length; ++i) {
            uint32_t pick = rng.below(100);
            if (pick < 18) {  // mov r32, [rbp-n]
                put({0x8B, 0x45 | reg() << 3, frame_slot()});
            } else if (pick < 30) {  // mov [rbp-n], r32
                put({0x89, 0x45 | reg() << 3, frame_slot()});
            } else if (pick < 40) {  // mov r64, [r64+n]
                put({0x48, 0x8B, 0x40 | reg() << 3 | reg(), 8 * static_cast<int>(rng.below(8))});
            } else if (pick < 48) {  // call
                put({0xE8});
                put32(rel32(rng.below(functions) * 96));
            } else if (pick < 54) {  // lea rdi/rsi, [rip+n]
                put({0x48, 0x8D, rng.below(2) ? 0x3D : 0x35});
                put32(rel32(0x400000 + rng.below(globals) * 24));
            } else if (pick < 62) {  // mov eax, small immediate
                put({0xB8});
                put32(rng.below(4) == 0 ? rng.below(65536) : rng.below(32));
            } else if (pick < 72) {  // cmp eax, imm8 or test eax, eax; then jcc rel8
                if (rng.below(2)) {
                    put({0x83, 0xF8, static_cast<int>(rng.below(16))});
                } else {
                    put({0x85, 0xC0});
                }
                put({0x70 | static_cast<int>(rng.below(2) ? 4 : 5),
                     static_cast<int>(rng.below(64))});
            } else if (pick < 80) {  // add/sub/mov r64, r64
                static const int ops[] = {0x01, 0x29, 0x89};
                put({0x48, ops[rng.below(3)], 0xC0 | reg() << 3 | reg()});
            } else if (pick < 85) {  // xor eax, eax
                put({0x31, 0xC0});
            } else if (pick < 90) {  // movzx eax, byte [rbp-n]
                put({0x0F, 0xB6, 0x45, frame_slot()});
            } else if (pick < 95) {  // jmp rel8
                put({0xEB, static_cast<int>(rng.below(128))});
            } else {  // mov rdi, rbx / mov rsi, r12
                put(rng.below(2) ? std::initializer_list<int>{0x48, 0x89, 0xDF}
                                 : std::initializer_list<int>{0x4C, 0x89, 0xE6});
            }
        }
        put({0x48, 0x83, 0xC4, 0x10, 0x5D, 0xC3});  // add rsp, 16; pop rbp; ret
        while (out.size() % 16 != 0) put({0xCC});
    }
    out.resize(size);
}

inline std::vector<uint8_t> make_data(DataKind kind, size_t size) {
    Rng rng(kind == DataKind::kText     ? 1
            : kind == DataKind::kMixed  ? 2
            : kind == DataKind::kRandom ? 3
                                        : 4);
    std::vector<uint8_t> out;
    // Room for the code generator's last function too, which it cuts off
    // afterwards: growing the vector would free an 8 MiB block, and glibc then
    // stops trimming its heap, which changes zlib's small-size figures.
    out.reserve(size + 1024);
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
        case DataKind::kCode:
            append_code(rng, out, size);
            break;
    }
    return out;
}

}  // namespace bench
