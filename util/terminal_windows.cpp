#include <windows.h>

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
