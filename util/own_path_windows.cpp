#include <windows.h>

#include "own_path.h"

bool util_own_path(char* out, size_t size) {
    if (out == nullptr || size == 0 || size > MAXDWORD) return false;
    DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    // A full buffer holds a cut path.
    return n > 0 && n < size;
}
