// For the fleet tests under Wine: lists the running processes whose program
// lies in the folder given, as "<pid> <program>" lines, and exits 1 if there
// are any, 0 if none. Each test runs its programs from a folder of its own, so
// tests that share a Wine server, and Wine's quick reuse of process ids, do
// not blur the answer.
#include <windows.h>
// Needs windows.h first.
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: processes_running <folder>\n");
        return 2;
    }
    std::string folder = argv[1];
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "processes_running: no process snapshot (%lu)\n", GetLastError());
        return 2;
    }
    int running = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (process == nullptr) continue;
        char path[MAX_PATH * 4];
        DWORD size = sizeof path;
        if (QueryFullProcessImageNameA(process, 0, path, &size) &&
            _strnicmp(path, folder.c_str(), folder.size()) == 0 &&
            WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            std::printf("%lu %s\n", entry.th32ProcessID, path);
            ++running;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return running > 0 ? 1 : 0;
}
