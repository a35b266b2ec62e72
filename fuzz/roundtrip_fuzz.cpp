// On the zlib engine: compress into a destination of exactly
// MevZ_GetMaxCompressedLen bytes, then decompress into exactly the original
// size, each ending at a guard page (fuzz_differential does the same on
// libdeflate). The first byte picks the source: odd, the input itself; even, a
// pseudo-random incompressible buffer sized near a 16 KiB block boundary,
// where the bound is tightest.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "MevCompression.h"
#include "check.h"
#include "guard_page.h"

namespace {

constexpr size_t kBlock = 16384;
constexpr size_t kMaxSource = 5 * kBlock + 128;

std::vector<uint8_t> make_source(const uint8_t* data, size_t size) {
    if (data[0] & 1) return std::vector<uint8_t>(data + 1, data + size);
    size_t blocks = size > 1 ? data[1] % 5 : 0;
    int offset = size > 2 ? static_cast<int8_t>(data[2]) : 0;
    size_t length =
        static_cast<size_t>(std::max<long>(0, static_cast<long>(blocks * kBlock) + offset));
    uint32_t state = 2463534242u;
    for (size_t i = 3; i < size; ++i) state = state * 16777619u ^ data[i];
    std::vector<uint8_t> source(length);
    for (uint8_t& byte : source) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return source;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GuardedBuffer compressed_space(kMaxSource + kMaxSource / kBlock * 5 + 64);
    static GuardedBuffer plain_space(kMaxSource);
    if (size == 0 || size > kMaxSource) return 0;
    const std::vector<uint8_t> source = make_source(data, size);
    const int32_t length = static_cast<int32_t>(source.size());

    const int32_t bound = MevZ_GetMaxCompressedLen(nullptr, source.data(), length);
    CHECK(bound >= length);
    uint8_t* compressed = compressed_space.tail(static_cast<size_t>(bound));
    const int32_t packed = MevZ_CompressData(nullptr, source.data(), length, compressed, bound);
    CHECK(packed > 0 && packed <= bound);

    // zlib's defaults, nothing of our own around it, wherever they fit the
    // bound; otherwise stored blocks, still a plain zlib stream.
    std::vector<uint8_t> theirs(compressBound(source.size()));
    uLongf their_size = theirs.size();
    CHECK(compress(theirs.data(), &their_size, source.data(), source.size()) == Z_OK);
    if (their_size <= static_cast<uLongf>(bound)) {
        CHECK(their_size == static_cast<uLongf>(packed));
        CHECK(std::memcmp(theirs.data(), compressed, their_size) == 0);
    }
    std::vector<uint8_t> back(source.size() + 1);
    uLongf back_size = back.size();
    CHECK(uncompress(back.data(), &back_size, compressed, static_cast<uLong>(packed)) == Z_OK);
    CHECK(back_size == source.size());

    uint8_t* plain = plain_space.tail(source.size());
    CHECK(MevZ_UncompressData(nullptr, compressed, packed, plain, length) == length);
    CHECK(source.empty() || std::memcmp(plain, source.data(), source.size()) == 0);
    if (length > 0) {
        // One byte short of room is a failure, never a short result.
        CHECK(MevZ_UncompressData(nullptr, compressed, packed, plain_space.tail(source.size() - 1),
                                  length - 1) == -1);
    }
    // The size just produced is room enough to do it again.
    const int32_t repacked = MevZ_CompressData(
        nullptr, source.data(), length, compressed_space.tail(static_cast<size_t>(packed)), packed);
    CHECK(repacked > 0 && repacked <= packed);
    return 0;
}
