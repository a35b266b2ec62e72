// One line at a time into a shared file: LockFileEx on the whole file around
// one write through a handle that may only append.
#include <errno.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "vorn_append.h"

namespace {

int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return -ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return -EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return -ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return -ENOMEM;
        default:
            return -EIO;
    }
}

int append_under_lock(HANDLE file, const char* head, const char* data, size_t size) {
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length)) return errno_of(GetLastError());
    const size_t head_size = std::strlen(head);
    std::string text;
    if (length.QuadPart == 0) {
        text = head;
    } else if (head_size > 0) {
        if (head_size > MAXDWORD) return -EINVAL;
        std::string found(head_size, '\0');
        OVERLAPPED at{};  // offset 0
        DWORD got = 0;
        if (!ReadFile(file, &found[0], static_cast<DWORD>(head_size), &got, &at) &&
            GetLastError() != ERROR_HANDLE_EOF) {
            return errno_of(GetLastError());
        }
        if (got != head_size || found != head) return UTIL_APPEND_FOREIGN;
    }
    text.append(data, size);
    if (text.empty()) return 0;
    if (text.size() > MAXDWORD) return -EINVAL;
    // Without FILE_WRITE_DATA every write goes to the end of the file.
    DWORD wrote = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr)) {
        return errno_of(GetLastError());
    }
    return wrote == text.size() ? 0 : -EIO;
}

}  // namespace

int util_append_locked(const char* path, const char* head, const char* data, size_t size) {
    // Not inheritable: no security attributes.
    HANDLE file = CreateFileA(path, GENERIC_READ | FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
    OVERLAPPED whole{};
    int result = 0;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        result = errno_of(GetLastError());
    } else {
        result = append_under_lock(file, head, data, size);
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    }
    if (!CloseHandle(file) && result == 0) result = errno_of(GetLastError());
    return result;
}
