// What the report and the modes ask of the OS: the console on standard
// error, signal names, a log file the copies do not inherit, our own path.
#include <windows.h>

#include <algorithm>

#include "own_path.h"
#include "vorn_report_util.h"
#include "vorn_stream.h"

// Only a console takes the status line; GetConsoleMode fails on files, pipes
// and the NUL device (which _isatty would call a terminal).
bool util_stderr_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// The console would take UTF-8 bytes in its own code page (437 or 1252,
// rarely 65001), and show a middle dot as two wrong characters.
bool util_write_status(const char* text, size_t size) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(handle, &mode)) return util_write_standard(2, text, size);
    // In pieces that fit the buffer; a status line is one.
    constexpr size_t kPiece = 4096;
    while (size > 0) {
        size_t piece = std::min(size, kPiece);
        // Never split a character.
        while (piece < size && piece > 0 &&
               (static_cast<unsigned char>(text[piece]) & 0xC0) == 0x80)
            --piece;
        if (piece == 0) piece = std::min(size, kPiece);
        wchar_t wide[kPiece];
        int length = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(piece), wide,
                                         static_cast<int>(kPiece));
        DWORD wrote = 0;
        if (length <= 0 ||
            !WriteConsoleW(handle, wide, static_cast<DWORD>(length), &wrote, nullptr))
            return false;
        text += piece;
        size -= piece;
    }
    return true;
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
