/*
 * Compresses a file with MevCompression, decompresses it again and checks that
 * the bytes come back unchanged.
 *
 *   mevz_roundtrip FILE
 */
#include <MevCompression.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Reads all of `path`; the library takes int32_t lengths, so larger files are
   refused. Returns NULL on failure. */
static unsigned char* read_all(const char* path, int32_t* length) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return NULL;
    size_t used = 0, capacity = 1 << 16;
    unsigned char* data = malloc(capacity);
    while (data != NULL) {
        used += fread(data + used, 1, capacity - used, file);
        if (used < capacity) break;
        if (capacity > INT32_MAX / 2) {
            free(data);
            data = NULL;
            break;
        }
        unsigned char* bigger = realloc(data, capacity * 2);
        if (bigger == NULL) free(data);
        data = bigger;
        capacity *= 2;
    }
    if (data != NULL && ferror(file)) {
        free(data);
        data = NULL;
    }
    fclose(file);
    *length = (int32_t)used;
    return data;
}

/* Compresses and decompresses `original`, prints the sizes, and returns the
   exit status. */
static int round_trip(const char* name, const unsigned char* original, int32_t length) {
    int32_t bound = MevZ_GetMaxCompressedLen(NULL, original, length);
    /* +1 keeps malloc(0) out of the picture for an empty file. */
    unsigned char* packed = bound < 0 ? NULL : malloc((size_t)bound + 1);
    unsigned char* unpacked = malloc((size_t)length + 1);
    int status = 1;
    int32_t packed_length = -1, unpacked_length = -1;
    if (packed == NULL || unpacked == NULL) {
        fprintf(stderr, "%s: too large\n", name);
    } else if ((packed_length = MevZ_CompressData(NULL, original, length, packed, bound)) < 0) {
        fprintf(stderr, "%s: compression failed\n", name);
    } else {
        /* The stream does not record the original length: the caller keeps it. */
        unpacked_length = MevZ_UncompressData(NULL, packed, packed_length, unpacked, length);
        if (unpacked_length != length || memcmp(original, unpacked, (size_t)length) != 0) {
            fprintf(stderr, "%s: round trip FAILED, the bytes differ\n", name);
        } else {
            printf("%s: %ld bytes -> %ld compressed (bound %ld, %.1f%%) -> %ld: round trip ok\n",
                   name, (long)length, (long)packed_length, (long)bound,
                   length > 0 ? 100.0 * packed_length / length : 0.0, (long)unpacked_length);
            status = 0;
        }
    }
    free(unpacked);
    free(packed);
    return status;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    int32_t length = 0;
    unsigned char* original = read_all(argv[1], &length);
    if (original == NULL) {
        fprintf(stderr, "%s: cannot read it, or it is 1 GiB or more\n", argv[1]);
        return 1;
    }
    int status = round_trip(argv[1], original, length);
    free(original);
    return status;
}
