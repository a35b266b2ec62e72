// Recognises the streams that MevZ_UncompressData documents as read
// leniently on libdeflate: zlib refuses them only for a reserved or
// undefined code, for too many code lengths in a block header, or for a run
// of code lengths past the count the header declares (libdeflate refuses the
// other case of zlib's "invalid bit length repeat", a repeat with nothing
// before it).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

// What zlib's inflate makes of a zlib stream with `capacity` bytes of room,
// in a buffer reused between calls.
struct ZlibReading {
    int status;       // of the one inflate(Z_FINISH) call
    const char* msg;  // zlib's reason for refusing, if it gave one
    size_t consumed, produced;
    const uint8_t* bytes;
};

inline ZlibReading zlib_reading(const uint8_t* stream, size_t size, size_t capacity) {
    static std::vector<uint8_t> out;
    if (out.size() <= capacity) out.resize(capacity + 1);  // grows only: no refill each call
    z_stream z{};
    ZlibReading r{inflateInit(&z), nullptr, 0, 0, out.data()};
    if (r.status != Z_OK) return r;
    z.next_in = const_cast<Bytef*>(stream);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(capacity);
    r.status = inflate(&z, Z_FINISH);
    r.msg = z.msg;  // a static string in zlib
    r.consumed = z.total_in;
    r.produced = z.total_out;
    inflateEnd(&z);
    return r;
}

inline bool is_lenient_reason(const char* msg) {
    static const char* const kLenient[] = {"invalid literal/length code", "invalid distance code",
                                           "too many length or distance symbols",
                                           "invalid bit length repeat"};
    if (msg == nullptr) return false;
    for (const char* reason : kLenient)
        if (std::strcmp(msg, reason) == 0) return true;
    return false;
}

// True if zlib refuses `stream` for one of those reasons, and `reading`
// (what libdeflate made of it) starts with everything zlib had produced when
// it stopped.
inline bool zlib_refuses_leniently(const uint8_t* stream, size_t size, size_t capacity,
                                   const uint8_t* reading, size_t reading_size) {
    ZlibReading z = zlib_reading(stream, size, capacity);
    return z.status == Z_DATA_ERROR && is_lenient_reason(z.msg) && z.produced <= reading_size &&
           std::memcmp(z.bytes, reading, z.produced) == 0;
}
