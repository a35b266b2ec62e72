// Windows console side: console control events, the key read, the standard
// handles.
#include <signal.h>
#include <windows.h>

#include <atomic>

#include "vorn_console.h"

namespace {

std::atomic<void (*)(int)> g_on_request{nullptr};

// Runs in a thread that the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
    void (*request)(int) = g_on_request.load();
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (request != nullptr) request(event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            if (request != nullptr) request(SIGTERM);
            // Returning ends the process at once; its exit ends this wait.
            Sleep(kUtilCloseGraceMs);
            return TRUE;
        default:
            return FALSE;
    }
}

BOOL WINAPI ignore_console_event(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

}  // namespace

void util_catch_stop_requests(void (*on_request)(int)) {
    g_on_request.store(on_request);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void util_ignore_stop_requests() { SetConsoleCtrlHandler(ignore_console_event, TRUE); }

void util_wait_for_key() {
    // A console in line mode returns with Enter; a pipe or file with a byte or
    // its end; a missing handle at once.
    char c;
    DWORD got = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr);
}

void util_ensure_standard_streams() {
    const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD std_handle : which) {
        HANDLE own = GetStdHandle(std_handle);
        if (own != nullptr && own != INVALID_HANDLE_VALUE) continue;
        HANDLE null_device =
            CreateFileA("NUL", std_handle == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (null_device != INVALID_HANDLE_VALUE) SetStdHandle(std_handle, null_device);
    }
}
