/* The zlib engine: one stream per call, set up, run in one pass and ended. */
#include <string.h>

/* Lets next_in take the const source without a cast that drops const. */
#define ZLIB_CONST
#include <zlib.h>

#include "mevz_engine.h"

static void set_buffers(z_stream* stream, const uint8_t* source, int32_t length,
                        uint8_t* destination, int32_t capacity) {
    memset(stream, 0, sizeof *stream);
    stream->next_in = source;
    stream->avail_in = (uInt)length;
    stream->next_out = destination;
    stream->avail_out = (uInt)capacity;
}

static int32_t produced(const z_stream* stream, int status) {
    /* total_out never exceeds the capacity, itself an int32_t. */
    return status == Z_STREAM_END && stream->total_out <= INT32_MAX ? (int32_t)stream->total_out
                                                                    : -1;
}

static int32_t zlib_compress(const uint8_t* source, int32_t length, uint8_t* destination,
                             int32_t capacity) {
    z_stream stream;
    set_buffers(&stream, source, length, destination, capacity);
    int32_t result = -1;
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) == Z_OK)
        result = produced(&stream, deflate(&stream, Z_FINISH));
    /* Also safe after a failed init: zlib then finds no state to free. */
    deflateEnd(&stream);
    return result;
}

static int32_t zlib_uncompress(const uint8_t* source, int32_t length, uint8_t* destination,
                               int32_t capacity) {
    z_stream stream;
    set_buffers(&stream, source, length, destination, capacity);
    int32_t result = -1;
    if (inflateInit(&stream) == Z_OK) result = produced(&stream, inflate(&stream, Z_FINISH));
    inflateEnd(&stream);
    return result;
}

static uint32_t zlib_adler32(const uint8_t* data, size_t length) {
    /* adler32_z takes a size_t, so no length is cut short. */
    return (uint32_t)adler32_z(adler32_z(0, NULL, 0), data, length);
}

const struct mevz_engine mevz_zlib_engine = {"zlib", zlib_compress, zlib_uncompress, zlib_adler32};
