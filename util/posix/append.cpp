// One line at a time into a shared file: an fcntl lock, which NFS honours,
// around one write under O_APPEND.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "vorn_append.h"

namespace {

int whole_file_lock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however far it grows
    while (fcntl(fd, F_SETLKW, &lock) != 0) {
        if (errno != EINTR) return -errno;
    }
    return 0;
}

int append_under_lock(int fd, const char* head, const char* data, size_t size) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return -errno;
    const size_t head_size = std::strlen(head);
    std::string text;
    if (info.st_size == 0) {
        text = head;
    } else if (head_size > 0) {
        // Under the lock, and the lock makes an NFS client drop what it cached.
        std::string found(head_size, '\0');
        ssize_t got = pread(fd, &found[0], head_size, 0);
        if (got < 0) return -errno;
        if (static_cast<size_t>(got) != head_size || found != head) return UTIL_APPEND_FOREIGN;
    }
    text.append(data, size);
    if (text.empty()) return 0;
    ssize_t wrote;
    do {
        wrote = write(fd, text.data(), text.size());
    } while (wrote < 0 && errno == EINTR);
    if (wrote < 0) return -errno;
    // A part of a line would mix with the next one's: report it.
    return static_cast<size_t>(wrote) == text.size() ? 0 : -EIO;
}

}  // namespace

int util_append_locked(const char* path, const char* head, const char* data, size_t size) {
    int fd;
    do {
        fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -errno;
    int result = whole_file_lock(fd, F_WRLCK);
    if (result == 0) result = append_under_lock(fd, head, data, size);
    // Closing drops the lock; NFS reports a failed write back only here.
    if (close(fd) != 0 && result == 0 && errno != EINTR) result = -errno;
    return result;
}
