// What the report and the modes ask of the OS: the terminal on standard
// error, signal names, a log file the copies do not inherit, our own path.
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "own_path.h"
#include "vorn_report_util.h"
#include "vorn_stream.h"

bool util_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

bool util_write_status(const char* text, size_t size) { return util_write_standard(2, text, size); }

int util_stderr_columns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

// sigdescr_np is thread-safe and does not invent "Unknown signal N" texts.
const char* util_signal_description(uint32_t number) {
    if (number > 1024) return nullptr;
    return sigdescr_np(static_cast<int>(number));
}

// "e": close-on-exec, so no copy holds the log open.
std::FILE* util_open_log_file(const char* path, bool append) {
    return std::fopen(path, append ? "ae" : "we");
}

bool util_own_path(char* out, size_t size) {
    if (out == nullptr || size == 0) return false;
    ssize_t n = readlink("/proc/self/exe", out, size);
    // readlink does not terminate, and a full buffer may hold a cut path.
    if (n <= 0 || static_cast<size_t>(n) >= size) return false;
    out[n] = '\0';
    return true;
}
