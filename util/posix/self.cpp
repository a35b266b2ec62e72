// POSIX side of what the stand-in needs of its platform.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
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

namespace {

// Long enough to outlast any stop, short enough that a failed test does not
// leave it running.
constexpr int kForkLoopSeconds = 20;

[[noreturn]] void fork_loop(pid_t parent) {
    while (getppid() == parent) usleep(10000);
    const time_t end = time(nullptr) + kForkLoopSeconds;
    while (time(nullptr) < end) {
        pid_t successor = fork();
        if (successor > 0) _exit(0);
        if (successor < 0) usleep(1000);
    }
    util_hold_forever();
}

}  // namespace

uint32_t util_start_stray(UtilStray kind, std::string* error) {
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        *error = strerror(errno);
        return 0;
    }
    if (child > 0) {
        if (kind == UtilStray::kDaemon) {
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        return static_cast<uint32_t>(child);
    }
    setsid();
    if (kind == UtilStray::kDaemon && fork() != 0) _exit(0);
    if (kind == UtilStray::kForkLoop) fork_loop(parent);
    util_hold_forever();
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
