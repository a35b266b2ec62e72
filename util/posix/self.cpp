// POSIX side of what the stand-in needs of its platform.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "vorn_self.h"

std::vector<std::string> util_own_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

uint32_t util_own_process_id() { return static_cast<uint32_t>(getpid()); }

void util_hold_forever() {
    for (;;) pause();
}

uint32_t util_start_holding_child(std::string* error) {
    pid_t child = fork();
    if (child == 0) util_hold_forever();
    if (child < 0) {
        *error = strerror(errno);
        return 0;
    }
    return static_cast<uint32_t>(child);
}

void util_hold_if_holding_child(int, char**) {}

void util_raise_signal(int number) {
    signal(number, SIG_DFL);
    raise(number);
}

namespace {

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool util_write_file_whole(const std::string& path, const std::string& temp_path,
                           const std::string& contents, std::string* error) {
    int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    bool ok = write_all(fd, contents);
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp_path.c_str(), path.c_str()) == 0) return true;
    if (ok) saved = errno;
    unlink(temp_path.c_str());
    *error = strerror(saved != 0 ? saved : EIO);
    return false;
}
