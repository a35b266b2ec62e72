// What the report and the modes ask of the OS: the console on standard
// error, signal names, a log file the copies do not inherit, our own path.
#include <windows.h>

#include "own_path.h"
#include "vorn_report_util.h"

// Only a console takes the status line; GetConsoleMode fails on files, pipes
// and the NUL device (which _isatty would call a terminal).
bool util_stderr_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int util_stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// Windows ends processes with exit codes only: no copy is ever reported as
// killed by a signal.
const char* util_signal_description(uint32_t) { return nullptr; }

// "N": not inherited by the copies that CreateProcess starts.
std::FILE* util_open_log_file(const char* path, bool append) {
    return std::fopen(path, append ? "aN" : "wN");
}

bool util_own_path(char* out, size_t size) {
    if (out == nullptr || size == 0 || size > MAXDWORD) return false;
    DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    // A full buffer holds a cut path.
    return n > 0 && n < size;
}
