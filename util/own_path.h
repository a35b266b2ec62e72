// Where the running program's own file is.
#pragma once

#include <cstddef>

// Copies the absolute path of the running program into `out` (capacity
// `size`, terminator included). False if it cannot be told or does not fit.
bool util_own_path(char* out, size_t size);
