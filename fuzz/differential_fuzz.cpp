// Both engines behind the same contract, in one program. The first byte
// (mod 16) picks what the rest is:
//   0-6: three bytes of capacity (up to 1 MiB), then a zlib stream that both
//      engines decompress;
//   7-14: the same, but deflate data: zlib's default header goes before it
//      and the Adler-32 of what either engine reads right after its end, so
//      that most inputs get past the checksum and the readings are compared;
//   15: a source (the input itself, or bytes generated from it whose
//      statistics shift, the kind libdeflate cuts into many short blocks)
//      compressed through the libdeflate engine into exactly the bound, then
//      decompressed, each destination ending at a guard page.
// The engines must agree on success, length and bytes, except where zlib
// refuses a stream that the header documents as read leniently.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "MevCompression.h"
#include "check.h"
#include "guard_page.h"
#include "lenient.h"

extern "C" {
#include "mevz_engine.h"
}

namespace {

constexpr size_t kMaxCapacity = 1 << 20;
constexpr size_t kMaxSource = 48 << 10;

// How often each outcome came up, printed at exit for the record.
struct Tally {
    long agreed_ok = 0, agreed_refused = 0, lenient = 0, round_trips = 0;
    ~Tally() {
        std::fprintf(
            stderr,
            "differential: %ld both decoded, %ld both refused, %ld lenient, %ld round trips\n",
            agreed_ok, agreed_refused, lenient, round_trips);
    }
} tally;

libdeflate_decompressor* raw_decompressor() {
    static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    return d;
}

// Outcomes the fuzzer cannot see for itself, since neither library is built
// with coverage: each becomes a feature it keeps inputs for.
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t hints[96];

void hint(const ZlibReading& z, int32_t by_libdeflate) {
    static const char* const kReasons[] = {"incorrect header check",
                                           "unknown compression method",
                                           "invalid window size",
                                           "invalid block type",
                                           "invalid stored block lengths",
                                           "too many length or distance symbols",
                                           "invalid code lengths set",
                                           "invalid bit length repeat",
                                           "invalid code -- missing end-of-block",
                                           "invalid literal/lengths set",
                                           "invalid distances set",
                                           "invalid literal/length code",
                                           "invalid distance code",
                                           "invalid distance too far back",
                                           "incorrect data check"};
    size_t reason = z.status == Z_STREAM_END ? 0 : z.msg == nullptr ? 1 : 2;
    for (size_t i = 0; z.msg != nullptr && i < sizeof kReasons / sizeof *kReasons; ++i)
        if (std::strcmp(z.msg, kReasons[i]) == 0) reason = 3 + i;
    ++hints[reason];
    // How far into the stream zlib got, and how much it wrote.
    size_t far = 0, much = 0;
    while (far < 20 && z.consumed >> far > 1) ++far;
    while (much < 21 && z.produced >> much > 1) ++much;
    ++hints[20 + far];
    ++hints[40 + much];
    ++hints[62 + (by_libdeflate >= 0 ? 1 : 0) + 2 * (reason == 0 ? 1 : 0)];
}

// The end of raw deflate data as zlib, or else libdeflate, reads it, and the
// Adler-32 of that reading; the whole size and a made-up check if neither can.
size_t deflate_end(const uint8_t* deflate, size_t size, size_t capacity, uint32_t* adler) {
    static std::vector<uint8_t> out(kMaxCapacity + 1);
    z_stream z{};
    CHECK(inflateInit2(&z, -15) == Z_OK);
    z.next_in = const_cast<Bytef*>(deflate);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(capacity);
    int rc = inflate(&z, Z_FINISH);
    size_t end = z.total_in, read = z.total_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END &&
        libdeflate_deflate_decompress_ex(raw_decompressor(), deflate, size, out.data(), capacity,
                                         &end, &read) != LIBDEFLATE_SUCCESS) {
        *adler = 0x01020304;
        return size;
    }
    *adler = libdeflate_adler32(1, out.data(), read);
    return end;
}

void decompress_both(const uint8_t* stream, size_t size, size_t capacity) {
    static GuardedBuffer zlib_space(kMaxCapacity), libdeflate_space(kMaxCapacity);
    uint8_t* by_zlib = zlib_space.tail(capacity);
    uint8_t* by_libdeflate = libdeflate_space.tail(capacity);
    const int32_t length = static_cast<int32_t>(size), room = static_cast<int32_t>(capacity);
    const int32_t z = mevz_uncompress(&mevz_zlib_engine, stream, length, by_zlib, room);
    const int32_t l = mevz_uncompress(&mevz_libdeflate_engine, stream, length, by_libdeflate, room);
    CHECK(z >= -1 && z <= room && l >= -1 && l <= room);
    hint(zlib_reading(stream, size, capacity), l);
    if (z == l) {
        CHECK(z == -1 || std::memcmp(by_zlib, by_libdeflate, static_cast<size_t>(z)) == 0);
        ++(z == -1 ? tally.agreed_refused : tally.agreed_ok);
        return;
    }
    CHECK(z == -1 &&
          zlib_refuses_leniently(stream, size, capacity, by_libdeflate, static_cast<size_t>(l)));
    ++tally.lenient;
}

std::vector<uint8_t> make_source(const uint8_t* data, size_t size) {
    if (size < 8 || (data[0] & 1)) return std::vector<uint8_t>(data, data + size);
    const size_t length = (data[1] | data[2] << 8 | data[3] << 16) % (kMaxSource + 1);
    const size_t segment = 256 + (data[4] | data[5] << 8) % 16384;
    const uint32_t bias = 50 + data[6] % 50;  // percent of one low bit, flipped every segment
    uint32_t state = 2463534242u;
    for (size_t i = 7; i < size; ++i) state = (state ^ data[i]) * 16777619u | 1;
    std::vector<uint8_t> source(length);
    for (size_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bool low = (state >> 8) % 100 < bias;
        source[i] = static_cast<uint8_t>((state >> 24 & 0xFE) | (low == (i / segment % 2 == 0)));
    }
    return source;
}

void round_trip(const uint8_t* data, size_t size) {
    static GuardedBuffer compressed_space(kMaxSource + kMaxSource / 16384 * 5 + 64);
    static GuardedBuffer plain_space(kMaxSource);
    static libdeflate_compressor* raw[2] = {libdeflate_alloc_compressor(6),
                                            libdeflate_alloc_compressor(8)};
    static std::vector<uint8_t> raw_out(libdeflate_zlib_compress_bound(nullptr, kMaxSource));
    const std::vector<uint8_t> source = make_source(data, size);
    const int32_t length = static_cast<int32_t>(source.size());
    const int32_t bound = MevZ_GetMaxCompressedLen(nullptr, source.data(), length);

    uint8_t* compressed = compressed_space.tail(static_cast<size_t>(bound));
    const int32_t packed =
        mevz_compress(&mevz_libdeflate_engine, source.data(), length, compressed, bound);
    CHECK(packed > 0 && packed <= bound);
    // libdeflate's own stream (level 6, or 8 for small inputs), or stored
    // blocks where that did not fit.
    if (length > 0) {
        bool own = false;
        for (libdeflate_compressor* c : raw) {
            size_t raw_size = libdeflate_zlib_compress(c, source.data(), source.size(),
                                                       raw_out.data(), raw_out.size());
            own = own || (static_cast<size_t>(packed) == raw_size &&
                          std::memcmp(compressed, raw_out.data(), raw_size) == 0);
        }
        CHECK(own || (packed == mevz_stored_size(length) && compressed[1] == 0x01));
    }
    std::vector<uint8_t> back(source.size() + 1);
    uLongf back_size = back.size();
    CHECK(uncompress(back.data(), &back_size, compressed, static_cast<uLong>(packed)) == Z_OK);
    CHECK(back_size == source.size() && std::equal(source.begin(), source.end(), back.begin()));

    uint8_t* plain = plain_space.tail(source.size());
    CHECK(mevz_uncompress(&mevz_libdeflate_engine, compressed, packed, plain, length) == length);
    CHECK(source.empty() || std::memcmp(plain, source.data(), source.size()) == 0);
    if (length > 0) {
        CHECK(mevz_uncompress(&mevz_libdeflate_engine, compressed, packed,
                              plain_space.tail(source.size() - 1), length - 1) == -1);
    }
    // The size just produced is room enough to do it again.
    const int32_t repacked =
        mevz_compress(&mevz_libdeflate_engine, source.data(), length,
                      compressed_space.tail(static_cast<size_t>(packed)), packed);
    CHECK(repacked > 0 && repacked <= packed);
    ++tally.round_trips;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> stream;
    if (size < 4) return 0;
    const size_t capacity = (data[1] | data[2] << 8 | data[3] << 16) % (kMaxCapacity + 1);
    const uint8_t* body = data + 4;
    const size_t body_size = size - 4;
    const unsigned mode = data[0] % 16;
    if (mode < 7) {
        decompress_both(body, body_size, capacity);
    } else if (mode < 15) {
        uint32_t adler = 0;
        size_t end = deflate_end(body, body_size, capacity, &adler);
        stream.assign({0x78, 0x9C});
        stream.insert(stream.end(), body, body + end);
        for (int shift = 24; shift >= 0; shift -= 8)
            stream.push_back(static_cast<uint8_t>(adler >> shift));
        stream.insert(stream.end(), body + end, body + body_size);  // trailing bytes
        decompress_both(stream.data(), stream.size(), capacity);
    } else if (size - 1 <= kMaxSource) {
        // Rarer and slower: a round trip costs a few milliseconds.
        round_trip(data + 1, size - 1);
    }
    return 0;
}
