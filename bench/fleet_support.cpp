#include "fleet_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "plan.h"

namespace bench {

std::string own_folder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return ".";
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : exe.substr(0, slash);
}

void ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd != -1 && null_fd != fd) close(null_fd);
        }
    }
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

void set_holding_child_environment() {
    setenv("VORNCORE_DELAY_MS", "0", 1);
    setenv("VORNCORE_HOLD_MS", "-1", 1);
    unsetenv("VORNCORE_RECORD_DIR");
    unsetenv("VORNCORE_CHILD");
    unsetenv("VORNCORE_EXIT");
}

bool line_pipe_open(LinePipe* p) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    p->read_fd = fds[0];
    p->write_fd = fds[1];
    p->lines = 0;
    p->partial.clear();
    // 1000 start lines overflow the default 64 KiB; a full pipe would stall
    // the copies and blur the moment they are all running.
    fcntl(p->write_fd, F_SETPIPE_SZ, 1 << 20);
    return true;
}

void line_pipe_close(LinePipe* p) {
    if (p->read_fd >= 0) close(p->read_fd);
    if (p->write_fd >= 0) close(p->write_fd);
    p->read_fd = p->write_fd = -1;
}

bool line_pipe_wait(LinePipe* p, int64_t count, int timeout_ms, std::vector<std::string>* keep) {
    double deadline = now_seconds() + timeout_ms / 1000.0;
    char buf[65536];
    while (p->lines < count) {
        int left = static_cast<int>((deadline - now_seconds()) * 1000);
        if (left <= 0) return false;
        struct pollfd pfd = {p->read_fd, POLLIN, 0};
        int rc = poll(&pfd, 1, left);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        ssize_t n = read(p->read_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                ++p->lines;
                if (keep != nullptr) keep->push_back(p->partial);
                p->partial.clear();
            } else if (keep != nullptr && p->partial.size() < 4096) {
                p->partial += buf[i];
            }
        }
    }
    return true;
}

int redirect_stdout(int fd) {
    std::cout.flush();
    std::fflush(stdout);
    int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0) return -1;
    if (dup2(fd, STDOUT_FILENO) < 0) {
        close(saved);
        return -1;
    }
    return saved;
}

void restore_stdout(int saved) {
    if (saved < 0) return;
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

int stray_children() {
    pid_t self = getpid();
    std::vector<pid_t> found;
    if (DIR* dir = opendir("/proc")) {
        while (struct dirent* entry = readdir(dir)) {
            char* end = nullptr;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (*entry->d_name == '\0' || *end != '\0' || pid <= 0) continue;
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
            FILE* f = std::fopen(path, "r");
            if (f == nullptr) continue;
            char line[1024];
            bool ok = std::fgets(line, sizeof line, f) != nullptr;
            std::fclose(f);
            if (!ok) continue;
            // The name in parentheses may hold blanks; the parent follows the
            // state letter after the last ')'.
            const char* close_paren = std::strrchr(line, ')');
            long parent = 0;
            char state = 0;
            if (close_paren != nullptr &&
                std::sscanf(close_paren + 1, " %c %ld", &state, &parent) == 2 && parent == self) {
                found.push_back(static_cast<pid_t>(pid));
            }
        }
        closedir(dir);
    }
    for (pid_t pid : found) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return static_cast<int>(found.size());
}

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

FleetJob fleet_job(int32_t count) {
    FleetJob job;
    job.plan = fleet_plan(count, 1);
    job.tmpl = kDefaultTemplate;
    for (int32_t i = 0; i < job.plan.count; ++i) job.copies.push_back(i);
    return job;
}

std::vector<std::vector<std::string>> fleet_words(int32_t count, const char* tmpl) {
    std::vector<std::vector<std::string>> lines;
    FleetPlan plan = fleet_plan(count, 1);
    char line[kCommandLineSize];
    for (int32_t i = 0; i < plan.count; ++i) {
        if (!fleet_command_line(line, sizeof line, tmpl, fleet_copy(plan, i), i)) break;
        std::vector<std::string> words(1);
        for (const char* c = line; *c != '\0'; ++c) {
            if (*c == ' ') {
                words.emplace_back();
            } else {
                words.back() += *c;
            }
        }
        lines.push_back(words);
    }
    return lines;
}

void prepare_fleet_process() {
    ensure_standard_descriptors();
    become_subreaper();
    set_holding_child_environment();
    signal(SIGPIPE, SIG_IGN);
}

long read_hwm_kib(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

}  // namespace bench
