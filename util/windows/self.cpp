// Windows side of what the stand-in needs of its platform.
#include <signal.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "error.h"
#include "vorn_self.h"

std::vector<std::string> util_own_arguments(int, char**) {
    const char* line = GetCommandLineA();
    std::vector<std::string> words(1);
    const char* p = line;
    if (*p == '"') {
        const char* end = std::strchr(p + 1, '"');
        if (end == nullptr) end = p + std::strlen(p);
        words[0].assign(p + 1, end);
        p = *end == '"' ? end + 1 : end;
        // Whatever follows the closing quote up to a blank is part of the name.
        while (*p != '\0' && *p != ' ') words[0] += *p++;
    } else {
        while (*p != '\0' && *p != ' ') words[0] += *p++;
    }
    if (*p == '\0') return words;
    words.emplace_back();
    for (++p; *p != '\0'; ++p) {
        if (*p == ' ') {
            words.emplace_back();
        } else {
            words.back() += *p;
        }
    }
    return words;
}

uint32_t util_own_process_id() { return GetCurrentProcessId(); }

void util_hold_forever() {
    for (;;) Sleep(INFINITE);
}

uint32_t util_start_holding_child(std::string* error) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            *error = util_windows_reason(GetLastError());
            return 0;
        }
        if (length < path.size()) break;
        if (path.size() >= 32768) {
            *error = util_windows_reason(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        path.resize(path.size() * 2);
    }
    std::wstring command_line = L"\"" + std::wstring(path.data()) + L"\" ";
    for (const char* c = kUtilHoldArgument; *c != '\0'; ++c) command_line += wchar_t(*c);

    // No standard streams: it prints nothing, and must not hold a pipe open.
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION info;
    if (!CreateProcessW(path.data(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        *error = util_windows_reason(GetLastError());
        return 0;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return info.dwProcessId;
}

uint32_t util_start_stray(UtilStray, std::string* error) { return util_start_holding_child(error); }

void util_hold_if_holding_child(int argc, char** argv) {
    std::vector<std::string> arguments = util_own_arguments(argc, argv);
    if (arguments.size() == 2 && arguments[1] == kUtilHoldArgument) util_hold_forever();
}

void util_raise_signal(int number) {
    // The C runtime refuses any other number.
    for (int known : {SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM, SIGBREAK, SIGABRT}) {
        if (number == known) {
            signal(number, SIG_DFL);
            raise(number);
        }
    }
}

bool util_write_file_whole(const std::string& path, const std::string& temp_path,
                           const std::string& contents, std::string* error) {
    HANDLE file = CreateFileA(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = util_windows_reason(GetLastError());
        return false;
    }
    DWORD failure = ERROR_SUCCESS;
    size_t done = 0;
    while (done < contents.size() && failure == ERROR_SUCCESS) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr) || written == 0) {
            failure = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
        }
        done += written;
    }
    if (!CloseHandle(file) && failure == ERROR_SUCCESS) failure = GetLastError();
    if (failure == ERROR_SUCCESS &&
        !MoveFileExA(temp_path.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        failure = GetLastError();
    }
    if (failure == ERROR_SUCCESS) return true;
    DeleteFileA(temp_path.c_str());
    *error = util_windows_reason(failure);
    return false;
}
