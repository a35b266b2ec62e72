// Inputs and small call wrappers shared by the compression tests.
#pragma once

#include <MevCompression.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace mevz_test {

using Bytes = std::vector<uint8_t>;

enum class Kind { Random, Text, Zeros };

inline const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Random:
            return "Random";
        case Kind::Text:
            return "Text";
        case Kind::Zeros:
            return "Zeros";
    }
    return "?";
}

// Lets GoogleTest print a Kind by name in parameterised test names.
inline void PrintTo(Kind kind, std::ostream* out) { *out << kind_name(kind); }

// Deterministic, so a failure always reproduces. Random bytes do not compress;
// text compresses well but not trivially; zeros are the extreme case.
inline Bytes make_data(Kind kind, size_t size, uint32_t seed = 1) {
    Bytes data(size, 0);
    std::mt19937 rng(seed);
    if (kind == Kind::Random) {
        for (auto& byte : data) byte = static_cast<uint8_t>(rng());
    } else if (kind == Kind::Text) {
        static const char* const words[] = {"the",   "fleet", "starts",  "copies", "of",    "a",
                                            "core",  "test",  "program", "and",    "waits", "until",
                                            "every", "one",   "ends",    "index"};
        std::string text;
        while (text.size() < size) {
            text += words[rng() % 16];
            text += rng() % 9 == 0 ? '\n' : ' ';
        }
        data.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return data;
}

inline int32_t size32(const Bytes& bytes) { return static_cast<int32_t>(bytes.size()); }

inline int32_t bound(const Bytes& source) {
    return MevZ_GetMaxCompressedLen(nullptr, source.data(), size32(source));
}

inline int32_t compress_into(const Bytes& source, Bytes& destination) {
    return MevZ_CompressData(nullptr, source.data(), size32(source), destination.data(),
                             size32(destination));
}

inline int32_t uncompress_into(const Bytes& source, Bytes& destination) {
    return MevZ_UncompressData(nullptr, source.data(), size32(source), destination.data(),
                               size32(destination));
}

// The stream for `source`, or an empty vector if compression failed.
inline Bytes compressed(const Bytes& source) {
    Bytes out(static_cast<size_t>(bound(source)));
    int32_t written = compress_into(source, out);
    out.resize(written < 0 ? 0 : static_cast<size_t>(written));
    return out;
}

}  // namespace mevz_test
