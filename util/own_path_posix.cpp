#include <unistd.h>

#include "own_path.h"

bool util_own_path(char* out, size_t size) {
    if (out == nullptr || size == 0) return false;
    ssize_t n = readlink("/proc/self/exe", out, size);
    // readlink does not terminate, and a full buffer may hold a cut path.
    if (n <= 0 || static_cast<size_t>(n) >= size) return false;
    out[n] = '\0';
    return true;
}
