/*
 * Internal: the engines below the one-call contract. MevCompression.c checks
 * the arguments, writes the empty stream and the stored-block fallback, and
 * hands everything else to one engine, chosen at build time.
 */
#ifndef MEVZ_ENGINE_H
#define MEVZ_ENGINE_H

#include <stddef.h>
#include <stdint.h>

struct mevz_engine {
    const char* name;
    /* One zlib stream at the default level. Called with length > 0 and
       valid pointers; returns the stream's size, or -1 if it does not fit in
       `capacity` or on any other failure. */
    int32_t (*compress)(const uint8_t* source, int32_t length, uint8_t* destination,
                        int32_t capacity);
    /* The zlib stream at the start of `source`; bytes after it are ignored.
       Called with length > 0 and valid pointers; returns the number of bytes
       written, or -1. */
    int32_t (*uncompress)(const uint8_t* source, int32_t length, uint8_t* destination,
                          int32_t capacity);
    uint32_t (*adler32)(const uint8_t* data, size_t length);
};

extern const struct mevz_engine mevz_zlib_engine;
extern const struct mevz_engine mevz_libdeflate_engine;

/* Size of the stream of stored blocks for `length` bytes, which every engine
   can fall back to: length + 5 per started 65535 bytes + 6. */
int64_t mevz_stored_size(int32_t length);

/* The contract of MevZ_CompressData and MevZ_UncompressData on a given engine. */
int32_t mevz_compress(const struct mevz_engine* engine, const void* source, int32_t source_length,
                      void* destination, int32_t destination_capacity);
int32_t mevz_uncompress(const struct mevz_engine* engine, const void* source, int32_t source_length,
                        void* destination, int32_t destination_capacity);

#endif /* MEVZ_ENGINE_H */
