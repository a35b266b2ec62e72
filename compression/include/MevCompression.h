/*
 * MevCompression: whole-buffer compression in the zlib format (RFC 1950), in
 * one call per buffer.
 *
 * Every function returns a non-negative length on success and -1 on any
 * failure; no other negative value is ever returned, and the cause of a
 * failure (too small a destination, damaged input, out of memory, bad
 * arguments) is not reported.
 *
 * The compressed form is a bare zlib stream with nothing added: the
 * uncompressed length is not stored, so the caller has to remember it and
 * size the decompression destination itself.
 *
 * Pointers: a null `source` is accepted only with a length of 0, a null
 * `destination` only with a capacity of 0. A negative length or capacity, or
 * a null pointer with a positive one, returns -1 without reading or writing
 * anything.
 *
 * Every call is self-contained: no call depends on an earlier one, so all
 * four functions may be called from several threads at once (on distinct
 * destination buffers). Where the library is built on libdeflate it keeps a
 * few compressors and decompressors for reuse (at most 5.1 MiB, after that
 * many calls at once), which it frees when it is unloaded.
 *
 * `reserved` is accepted for compatibility with existing callers and
 * ignored; pass NULL.
 *
 * On Windows the library is MevCompression.dll and the four functions use the
 * C calling convention (__cdecl) whatever the caller's default (/Gz, /Gr or
 * /Gv with Visual C++). They are exported undecorated by name, so
 * GetProcAddress(module, "MevZ_CompressData") finds them on 32-bit Windows
 * too.
 */
#ifndef MEVCOMPRESSION_H
#define MEVCOMPRESSION_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(MEVZ_BUILDING)
#define MEVZ_API __declspec(dllexport)
#else
#define MEVZ_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
/* The library is built with hidden visibility; only these names are exported. */
#define MEVZ_API __attribute__((visibility("default")))
#else
#define MEVZ_API
#endif

/* The calling convention, spelled out where a compiler may default to
   another one. */
#if defined(_WIN32)
#define MEVZ_CALL __cdecl
#else
#define MEVZ_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Largest number of bytes MevZ_CompressData can produce for `source_length`
 * input bytes: source_length + 5 per started 16384-byte block + 6, and 8 for
 * an empty source. A destination of this size always suffices. `source` is
 * ignored (it keeps the argument order of MevZ_CompressData).
 * Returns -1 if `source_length` is negative or the bound exceeds INT32_MAX.
 */
MEVZ_API int32_t MEVZ_CALL MevZ_GetMaxCompressedLen(void* reserved, const void* source,
                                                    int32_t source_length);

/*
 * Always returns 0: a zlib stream does not record its uncompressed length.
 * All arguments are ignored.
 */
MEVZ_API int32_t MEVZ_CALL MevZ_GetMaxUncompressedLen(void* reserved, const void* source,
                                                      int32_t source_length);

/*
 * Compresses `source_length` bytes of `source` into one zlib stream at the
 * default level. Returns the number of bytes written to `destination`, or -1
 * if it does not fit in `destination_capacity` bytes or on any other failure;
 * on failure the contents of `destination` are undefined.
 */
MEVZ_API int32_t MEVZ_CALL MevZ_CompressData(void* reserved, const void* source,
                                             int32_t source_length, void* destination,
                                             int32_t destination_capacity);

/*
 * Decompresses the zlib stream at the start of `source` (bytes after its end
 * are ignored). gzip and raw deflate data are refused. Returns the number of
 * bytes written to `destination`, or -1 if the stream is truncated, damaged,
 * fails its checksum, or does not fit in `destination_capacity` bytes; on
 * failure the contents of `destination` are undefined.
 *
 * Every stream that zlib's inflate accepts decodes to the same bytes, and
 * every stream it refuses is refused, with one exception where the library
 * is built on libdeflate. A stream that uses codes RFC 1951 reserves
 * (length symbols 286 and 287, distance symbols 30 and 31), declares more
 * than 286 length or 30 distance codes in a block header, runs a repeat of
 * code lengths past the count its header declares, or uses a code its
 * block's table leaves undefined (any distance code of an empty distance
 * table, the unused half of a table with a single code) may then
 * decode, as libdeflate reads it, when its Adler-32 matches that reading. No
 * compressor writes such streams, and damage does not produce them
 * unnoticed: the checksum would have to match as well.
 */
MEVZ_API int32_t MEVZ_CALL MevZ_UncompressData(void* reserved, const void* source,
                                               int32_t source_length, void* destination,
                                               int32_t destination_capacity);

#ifdef __cplusplus
}
#endif

#endif /* MEVCOMPRESSION_H */
