// Command-line flags of our own, taken out before Google Benchmark sees argv.
#pragma once

#include <cstring>

namespace bench {

// Removes `flag` from argv; true if it was there.
inline bool take_flag(int* argc, char** argv, const char* flag) {
    for (int i = 1; i < *argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) {
            for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
            --*argc;
            return true;
        }
    }
    return false;
}

}  // namespace bench
