#include "vorn_report_util.h"

// Windows ends processes with exit codes only: no copy is ever reported as
// killed by a signal.
const char* util_signal_description(uint32_t) { return nullptr; }
