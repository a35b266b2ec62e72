#include "MevCompression.h"

#include <stddef.h>
#include <string.h>

/* Lets next_in take the const source without a cast that drops const. */
#define ZLIB_CONST
#include <zlib.h>

enum { kBlockSize = 16384, kBlockOverhead = 5, kStreamOverhead = 6, kEmptyStreamSize = 8 };

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

/* Sets up the stream's buffers, or returns 0 if the arguments would make zlib
   read or write out of bounds. zlib takes the lengths as unsigned, so a
   negative one would become a huge count. */
static int set_buffers(z_stream* stream, const void* source, int32_t source_length,
                       void* destination, int32_t destination_capacity, Bytef* dummy) {
    if (source_length < 0 || destination_capacity < 0) return 0;
    if (source == NULL && source_length > 0) return 0;
    if (destination == NULL && destination_capacity > 0) return 0;
    memset(stream, 0, sizeof *stream);
    stream->next_in = source != NULL ? (const Bytef*)source : dummy;
    stream->avail_in = (uInt)source_length;
    /* zlib refuses a null output pointer even with no room behind it. */
    stream->next_out = destination != NULL ? (Bytef*)destination : dummy;
    stream->avail_out = (uInt)destination_capacity;
    return 1;
}

static int32_t produced(const z_stream* stream, int status) {
    /* total_out never exceeds the capacity, itself an int32_t. */
    return status == Z_STREAM_END && stream->total_out <= INT32_MAX ? (int32_t)stream->total_out
                                                                    : -1;
}

static int32_t compress_at(int level, const void* source, int32_t source_length, void* destination,
                           int32_t destination_capacity) {
    z_stream stream;
    Bytef dummy = 0;
    if (!set_buffers(&stream, source, source_length, destination, destination_capacity, &dummy))
        return -1;
    int32_t result = -1;
    if (deflateInit(&stream, level) == Z_OK) result = produced(&stream, deflate(&stream, Z_FINISH));
    /* Also safe after a failed init: zlib then finds no state to free. */
    deflateEnd(&stream);
    return result;
}

int32_t MevZ_CompressData(void* reserved, const void* source, int32_t source_length,
                          void* destination, int32_t destination_capacity) {
    (void)reserved;
    int32_t result = compress_at(Z_DEFAULT_COMPRESSION, source, source_length, destination,
                                 destination_capacity);
    /* The default level cuts blocks every 16383 literals, so input without
       usable matches can come out a few bytes over the bound. Stored blocks
       hold up to 65535 bytes each and always fit it, which keeps the bound's
       promise. */
    /* No bound (a length near INT32_MAX) means no promise to keep. */
    int32_t bound = MevZ_GetMaxCompressedLen(NULL, source, source_length);
    if (result == -1 && source_length > 0 && bound > 0 && destination_capacity >= bound)
        result =
            compress_at(Z_NO_COMPRESSION, source, source_length, destination, destination_capacity);
    return result;
}

int32_t MevZ_UncompressData(void* reserved, const void* source, int32_t source_length,
                            void* destination, int32_t destination_capacity) {
    (void)reserved;
    z_stream stream;
    Bytef dummy = 0;
    if (!set_buffers(&stream, source, source_length, destination, destination_capacity, &dummy))
        return -1;
    int32_t result = -1;
    if (inflateInit(&stream) == Z_OK) result = produced(&stream, inflate(&stream, Z_FINISH));
    inflateEnd(&stream);
    return result;
}
