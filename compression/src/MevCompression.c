#include "MevCompression.h"

#include <string.h>

#include "mevz_engine.h"

enum {
    kBlockSize = 16384,
    kBlockOverhead = 5,
    kStreamOverhead = 6,
    kStoredBlockSize = 65535,
    kEmptyStreamSize = 8
};

/* Header, an empty final fixed block and the Adler-32 of nothing: what zlib
   writes at the default level for an empty source. */
static const uint8_t kEmptyStream[kEmptyStreamSize] = {0x78, 0x9c, 0x03, 0x00,
                                                       0x00, 0x00, 0x00, 0x01};

int32_t MevZ_GetMaxCompressedLen(void* reserved, const void* source, int32_t source_length) {
    (void)reserved;
    (void)source;
    if (source_length < 0) return -1;
    /* An empty source still needs a header, an empty final block and the check
       value; the per-block formula below would say 6. */
    if (source_length == 0) return kEmptyStreamSize;
    /* 64-bit so that lengths near INT32_MAX cannot overflow. */
    int64_t blocks = ((int64_t)source_length + kBlockSize - 1) / kBlockSize;
    int64_t bound = (int64_t)source_length + kBlockOverhead * blocks + kStreamOverhead;
    return bound > INT32_MAX ? -1 : (int32_t)bound;
}

int32_t MevZ_GetMaxUncompressedLen(void* reserved, const void* source, int32_t source_length) {
    (void)reserved;
    (void)source;
    (void)source_length;
    return 0;
}

int64_t mevz_stored_size(int32_t length) {
    int64_t blocks = ((int64_t)length + kStoredBlockSize - 1) / kStoredBlockSize;
    return (int64_t)length + kBlockOverhead * blocks + kStreamOverhead;
}

/* A zlib stream of stored blocks (the header zlib writes at level 0); the
   caller has checked that mevz_stored_size() bytes fit. */
static int32_t write_stored(const struct mevz_engine* engine, const uint8_t* source, int32_t length,
                            uint8_t* destination) {
    uint8_t* out = destination;
    *out++ = 0x78;
    *out++ = 0x01;
    for (int32_t done = 0; done < length;) {
        int32_t n = length - done < kStoredBlockSize ? length - done : kStoredBlockSize;
        *out++ = (uint8_t)(done + n == length); /* BFINAL, type 00, padding */
        out[0] = (uint8_t)n;
        out[1] = (uint8_t)(n >> 8);
        out[2] = (uint8_t)~n;
        out[3] = (uint8_t)(~n >> 8);
        memcpy(out + 4, source + done, (size_t)n);
        out += 4 + n;
        done += n;
    }
    uint32_t adler = engine->adler32(source, (size_t)length);
    for (int shift = 24; shift >= 0; shift -= 8) *out++ = (uint8_t)(adler >> shift);
    return (int32_t)(out - destination);
}

/* A negative length would become a huge unsigned count further down, and a
   null pointer is only harmless with nothing behind it. */
static int arguments_ok(const void* source, int32_t source_length, const void* destination,
                        int32_t destination_capacity) {
    if (source_length < 0 || destination_capacity < 0) return 0;
    if (source == NULL && source_length > 0) return 0;
    if (destination == NULL && destination_capacity > 0) return 0;
    return 1;
}

int32_t mevz_compress(const struct mevz_engine* engine, const void* source, int32_t source_length,
                      void* destination, int32_t destination_capacity) {
    if (!arguments_ok(source, source_length, destination, destination_capacity)) return -1;
    if (source_length == 0) {
        if (destination_capacity < kEmptyStreamSize) return -1;
        memcpy(destination, kEmptyStream, kEmptyStreamSize);
        return kEmptyStreamSize;
    }
    uint8_t none = 0;
    uint8_t* out = destination != NULL ? (uint8_t*)destination : &none;
    int32_t result = engine->compress(source, source_length, out, destination_capacity);
    /* Input without usable matches can come out a little larger than stored
       blocks would be (more, shorter blocks), even past the bound. Stored
       blocks always fit the bound, and whatever room they fit in, so
       compressing again into the size just produced cannot fail either. */
    if (result == -1 && destination_capacity >= mevz_stored_size(source_length))
        result = write_stored(engine, source, source_length, out);
    return result;
}

int32_t mevz_uncompress(const struct mevz_engine* engine, const void* source, int32_t source_length,
                        void* destination, int32_t destination_capacity) {
    if (!arguments_ok(source, source_length, destination, destination_capacity)) return -1;
    /* The smallest stream is 8 bytes; this also keeps a null source out. */
    if (source_length == 0) return -1;
    uint8_t none = 0;
    uint8_t* out = destination != NULL ? (uint8_t*)destination : &none;
    return engine->uncompress(source, source_length, out, destination_capacity);
}

int32_t MevZ_CompressData(void* reserved, const void* source, int32_t source_length,
                          void* destination, int32_t destination_capacity) {
    (void)reserved;
    return mevz_compress(&MEVZ_ENGINE, source, source_length, destination, destination_capacity);
}

int32_t MevZ_UncompressData(void* reserved, const void* source, int32_t source_length,
                            void* destination, int32_t destination_capacity) {
    (void)reserved;
    return mevz_uncompress(&MEVZ_ENGINE, source, source_length, destination, destination_capacity);
}
