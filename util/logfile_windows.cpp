#include "vorn_report_util.h"

// "N": not inherited by the copies that CreateProcess starts.
std::FILE* util_open_log_file(const char* path) { return std::fopen(path, "wN"); }
