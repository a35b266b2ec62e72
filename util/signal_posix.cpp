#include <string.h>

#include "vorn_report_util.h"

// sigdescr_np is thread-safe and does not invent "Unknown signal N" texts.
const char* util_signal_description(uint32_t number) {
    if (number > 1024) return nullptr;
    return sigdescr_np(static_cast<int>(number));
}
