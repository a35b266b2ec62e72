#include "vorn_report_util.h"

// "e": close-on-exec, so no copy holds the log open.
std::FILE* util_open_log_file(const char* path) { return std::fopen(path, "we"); }
