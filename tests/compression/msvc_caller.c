/*
 * Calls MevCompression through MevCompression.lib as a Visual C++ program
 * would, without a C runtime: the entry point's result is the exit status,
 * 0 when a buffer comes back unchanged.
 */
#include <MevCompression.h>

static unsigned char text[4096], packed[8192], unpacked[4096];

int __cdecl start(void) {
    for (int i = 0; i < (int)sizeof text; ++i) text[i] = (unsigned char)("abcabd"[i % 6] + i / 512);
    int32_t bound = MevZ_GetMaxCompressedLen(0, text, sizeof text);
    if (bound != (int32_t)sizeof text + 11) return 1;
    int32_t length = MevZ_CompressData(0, text, sizeof text, packed, bound);
    if (length <= 0) return 2;
    if (MevZ_UncompressData(0, packed, length, unpacked, sizeof unpacked) != (int32_t)sizeof text)
        return 3;
    for (int i = 0; i < (int)sizeof text; ++i)
        if (unpacked[i] != text[i]) return 4;
    return MevZ_GetMaxUncompressedLen(0, 0, 0) == 0 ? 0 : 5;
}
