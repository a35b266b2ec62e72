// Shared by the Windows files of the utility layer: the system's own text for
// an error code, on one line.
#pragma once

#include <windows.h>

#include <string>

inline std::string util_windows_reason(DWORD error) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = length > 0 && text != nullptr ? std::string(text, length)
                                                       : "error " + std::to_string(error);
    if (text != nullptr) LocalFree(text);
    // Messages end in CR LF, and a few span lines.
    for (char& c : reason) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    while (!reason.empty() && reason.back() == ' ') reason.pop_back();
    return reason;
}
