#include "joblog_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "options.h"
#include "vorn_append.h"
#include "vorn_report_util.h"

namespace {

std::string message(const char* path, int result) {
    const std::string shown = "job log '" + printable_argument(path) + "'";
    if (result == UTIL_APPEND_FOREIGN)
        return shown + " is not a job log: its first line is not the header that --joblog writes";
    return "cannot write " + shown + ": " + std::strerror(-result);
}

}  // namespace

bool start_joblog(const char* path, std::string* error) {
    std::FILE* file = util_open_log_file(path, false);
    bool written = file != nullptr && std::fputs(kJobLogHeader, file) >= 0;
    if (file != nullptr && std::fclose(file) != 0) written = false;
    if (!written) {
        *error = "cannot open job log '" + printable_argument(path) + "': " + std::strerror(errno);
    }
    return written;
}

int check_joblog(const char* path) {
    int result = util_append_locked(path, kJobLogHeader, "", 0);
    if (result == 0) return 0;
    std::fprintf(stderr, "SpawnBench: %s\n", message(path, result).c_str());
    return 2;
}

void add_joblog_line(const char* path, const CopyRecord& copy, const TryRecord& attempt) {
    const std::string line = joblog_line(copy, attempt);
    int result = util_append_locked(path, kJobLogHeader, line.data(), line.size());
    // The copies go on; a rerun takes a copy without a line for one to run.
    if (result != 0) std::fprintf(stderr, "SpawnBench: %s\n", message(path, result).c_str());
}
