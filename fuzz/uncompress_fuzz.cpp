// MevZ_UncompressData over arbitrary input and capacity, with the destination
// ending at a guard page. Input: three bytes of capacity (up to 1 MiB), then
// the source. The result must agree with zlib's own uncompress(), except for
// the streams the header documents as read leniently on libdeflate.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "MevCompression.h"
#include "check.h"
#include "guard_page.h"
#include "lenient.h"

namespace {
constexpr size_t kMaxCapacity = 1 << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GuardedBuffer destination(kMaxCapacity);
    static std::vector<uint8_t> theirs(kMaxCapacity + 1);
    if (size < 3) return 0;
    const size_t capacity = (data[0] | data[1] << 8 | data[2] << 16) % (kMaxCapacity + 1);
    const uint8_t* source = data + 3;
    const size_t source_size = size - 3;

    uint8_t* out = destination.tail(capacity);
    int32_t got = MevZ_UncompressData(nullptr, source, static_cast<int32_t>(source_size), out,
                                      static_cast<int32_t>(capacity));
    CHECK(got == -1 || (got >= 0 && static_cast<size_t>(got) <= capacity));

    // One byte more room than ours: given none, uncompress() decodes into a
    // byte of its own and reports success with 0 bytes, whatever the stream
    // held.
    uLongf their_size = capacity + 1;
    int rc = uncompress(theirs.data(), &their_size, source, source_size);
    if (rc == Z_OK && their_size <= capacity) {
        CHECK(got >= 0 && static_cast<uLongf>(got) == their_size);
        CHECK(std::memcmp(out, theirs.data(), their_size) == 0);
    } else if (rc == Z_OK) {
        CHECK(got == -1);
    } else if (got != -1) {
        CHECK(zlib_refuses_leniently(source, source_size, capacity, out, static_cast<size_t>(got)));
    }
    return 0;
}
