// POSIX side: a PID namespace whose init dies with us, and the subreaper's
// sweep of what the stopped copies left behind.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vorn_contain.h"

namespace {

// The namespace's init, our child until the last stop.
pid_t keeper = 0;

// A descendant that forks faster than it is killed holds a stop no longer.
constexpr long kGiveUpMs = 3000;

std::string read_text(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// An integer setting under /proc/sys, or -1 where the kernel has none.
long setting(const char* path) {
    std::string text = read_text(path);
    return text.empty() ? -1 : std::atol(text.c_str());
}

// The "Name:\tvalue" line of /proc/self/status, as a number.
long own_status(const char* name) {
    std::string status = read_text("/proc/self/status");
    size_t at = status.find(std::string("\n") + name + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + strlen(name) + 2);
}

// Why unshare failed, as far as can be told from here. The settings about
// user namespaces are only to blame when one was asked for.
std::string reason(int error, bool user_namespace) {
    std::string name = strerrorname_np(error) != nullptr ? strerrorname_np(error) : "?";
    if (error == EINVAL && user_namespace && own_status("Threads") > 1) {
        return "a user namespace needs a process of one thread (EINVAL)";
    }
    if (error == EINVAL) return "the kernel has no PID or user namespaces (EINVAL)";
    if (error == ENOSPC && user_namespace && setting("/proc/sys/user/max_user_namespaces") == 0) {
        return "user namespaces are off (user.max_user_namespaces=0, ENOSPC)";
    }
    if (error == ENOSPC) return "too many namespaces exist already (ENOSPC)";
    if (error == EPERM && !user_namespace && own_status("Seccomp") == 2) {
        return "a seccomp filter forbids namespaces (EPERM)";
    }
    if (error == EPERM && !user_namespace) return std::string(strerror(error)) + " (" + name + ")";
    if (error == EPERM && setting("/proc/sys/kernel/unprivileged_userns_clone") == 0) {
        return "unprivileged user namespaces are off (kernel.unprivileged_userns_clone=0, EPERM)";
    }
    if (error == EPERM && setting("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == 1) {
        return "an AppArmor policy forbids user namespaces "
               "(kernel.apparmor_restrict_unprivileged_userns=1, EPERM)";
    }
    if (error == EPERM && own_status("Seccomp") == 2) {
        return "a seccomp filter forbids namespaces (EPERM)";
    }
    return std::string(strerror(error)) + " (" + name + ")";
}

bool write_text(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

// Only our own ids, so a setuid program inside gains nothing.
void map_own_ids(uid_t uid, gid_t gid) {
    // Without a map the kernel still checks files by our real ids.
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// The namespace's init: it reaps what the namespace hands it and nothing else.
// Every signal stays blocked; only SIGKILL from outside ends it.
[[noreturn]] void run_keeper(int ready_read, int ready_write) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    close(ready_read);
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    // Our parent is outside the namespace, so getppid() cannot tell whether
    // it died before the prctl: a pipe with no reader left can.
    char byte = 1;
    if (write(ready_write, &byte, 1) != 1) _exit(1);
    close_range(0, ~0U, 0);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        siginfo_t info;
        sigwaitinfo(&child, &info);
    }
}

void say_uncontained(const std::string& why) {
    fprintf(stderr, "%s: cannot contain the fleet in a PID namespace: %s; running without one\n",
            program_invocation_short_name, why.c_str());
}

void add_numbers(const std::string& text, std::vector<pid_t>* pids) {
    const char* p = text.c_str();
    char* end = nullptr;
    for (long n = strtol(p, &end, 10); end != p; n = strtol(p, &end, 10)) {
        pids->push_back(static_cast<pid_t>(n));
        p = end;
    }
}

// Our children but the keeper, dead or alive: the children list of every
// thread, or a scan of every process where the kernel keeps no such list.
std::vector<pid_t> children_but_keeper() {
    std::vector<pid_t> pids;
    bool listed = false;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* task = readdir(tasks)) {
            if (task->d_name[0] == '.') continue;
            std::string path = std::string("/proc/self/task/") + task->d_name + "/children";
            listed = listed || access(path.c_str(), R_OK) == 0;
            add_numbers(read_text(path), &pids);
        }
        closedir(tasks);
    }
    if (!listed) {
        const pid_t self = getpid();
        if (DIR* proc = opendir("/proc")) {
            while (dirent* entry = readdir(proc)) {
                if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
                std::string stat = read_text(std::string("/proc/") + entry->d_name + "/stat");
                // The parent follows the name, which may hold anything but ends at ") ".
                size_t at = stat.rfind(") ");
                if (at != std::string::npos && std::atol(stat.c_str() + at + 4) == self) {
                    pids.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
                }
            }
            closedir(proc);
        }
    }
    std::vector<pid_t> result;
    for (pid_t pid : pids) {
        if (pid != keeper) result.push_back(pid);
    }
    return result;
}

std::string link_text(const std::string& path) {
    char buf[256];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Every live process in the keeper's namespace but the keeper, as pidfds: a
// pid freed meanwhile cannot be signalled in its stead. The copies' orphans
// go to the keeper, out of children_but_keeper's reach.
std::vector<int> namespace_members() {
    std::vector<int> fds;
    const std::string ns = link_text("/proc/" + std::to_string(keeper) + "/ns/pid");
    DIR* proc = ns.empty() ? nullptr : opendir("/proc");
    if (proc == nullptr) return fds;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        const std::string link = std::string("/proc/") + entry->d_name + "/ns/pid";
        if (pid <= 0 || pid == keeper || link_text(link) != ns) continue;
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) continue;
        // Once pinned by the pidfd, the pid's process is the one looked at.
        if (link_text(link) == ns) {
            fds.push_back(fd);
        } else {
            close(fd);
        }
    }
    closedir(proc);
    return fds;
}

// Threads cannot be created by a thread whose children go into another PID
// namespace, so one thread of our own does that, and starts every copy.
// Plain pthread objects: no destructor at exit may wait for the thread.
pthread_t starter;
pthread_mutex_t starter_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t starter_wakes = PTHREAD_COND_INITIALIZER;
void (*pending_work)(void*) = nullptr;
void* pending_arg = nullptr;
bool work_done = false;

struct Setup {
    int ready_read, ready_write;
    int settled;  // 1 once contained, -1 once given up
    std::string error;
};

// Under starter_mutex.
void settle(Setup* setup, int outcome, const std::string& error) {
    setup->error = error;
    setup->settled = outcome;
    pthread_cond_broadcast(&starter_wakes);
}

extern "C" void* starter_main(void* arg) {
    Setup* setup = static_cast<Setup*>(arg);
    // Signals are for the other threads to handle.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    const int unshared = unshare(CLONE_NEWPID) == 0 ? 0 : errno;
    pid_t pid = unshared == 0 ? fork() : -1;
    if (pid == 0) run_keeper(setup->ready_read, setup->ready_write);
    const int forked = pid < 0 ? errno : 0;
    close(setup->ready_write);
    char byte = 0;
    ssize_t got = 0;
    if (pid > 0) {
        while ((got = read(setup->ready_read, &byte, 1)) < 0 && errno == EINTR) {
        }
    }
    close(setup->ready_read);
    pthread_mutex_lock(&starter_mutex);
    if (pid <= 0 || got != 1) {
        if (pid > 0) waitpid(pid, nullptr, 0);
        settle(setup, -1,
               unshared != 0 ? reason(unshared, false)
               : pid < 0     ? "cannot start its keeper: " + std::string(strerror(forked))
                             : "its keeper ended at once");
        pthread_mutex_unlock(&starter_mutex);
        return nullptr;
    }
    keeper = pid;
    settle(setup, 1, "");
    for (;;) {
        while (pending_work == nullptr) pthread_cond_wait(&starter_wakes, &starter_mutex);
        pending_work(pending_arg);
        pending_work = nullptr;
        work_done = true;
        pthread_cond_broadcast(&starter_wakes);
    }
}

long elapsed_ms(const timespec& since) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

}  // namespace

bool util_contain_fleet() {
    if (keeper > 0) return true;
    // Made first: once the namespace is there, the next child becomes its init.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        say_uncontained("cannot make a pipe: " + std::string(strerror(errno)));
        return false;
    }
    const uid_t uid = geteuid();
    if (uid != 0) {
        const gid_t gid = getegid();
        // Only while this process has one thread.
        if (unshare(CLONE_NEWUSER) != 0) {
            int error = errno;
            close(ready[0]);
            close(ready[1]);
            say_uncontained(reason(error, true));
            return false;
        }
        map_own_ids(uid, gid);
    }
    Setup setup{ready[0], ready[1], 0, std::string()};
    pthread_mutex_lock(&starter_mutex);
    int rc = pthread_create(&starter, nullptr, starter_main, &setup);
    if (rc == 0) {
        while (setup.settled == 0) pthread_cond_wait(&starter_wakes, &starter_mutex);
    } else {
        close(ready[0]);
        close(ready[1]);
        setup.settled = -1;
        setup.error = "cannot start a thread: " + std::string(strerror(rc));
    }
    pthread_mutex_unlock(&starter_mutex);
    if (setup.settled < 0) {
        if (rc == 0) pthread_join(starter, nullptr);
        say_uncontained(setup.error);
        return false;
    }
    pthread_detach(starter);
    return true;
}

bool util_contain_run(void (*work)(void*), void* arg) {
    if (keeper <= 0) return false;
    pthread_mutex_lock(&starter_mutex);
    while (pending_work != nullptr) pthread_cond_wait(&starter_wakes, &starter_mutex);
    pending_work = work;
    pending_arg = arg;
    work_done = false;
    pthread_cond_broadcast(&starter_wakes);
    while (!work_done) pthread_cond_wait(&starter_wakes, &starter_mutex);
    pthread_mutex_unlock(&starter_mutex);
    return true;
}

void util_end_descendants(bool last_stop) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const bool sweep_namespace = !last_stop && keeper > 0;
    size_t left = 0;
    for (;;) {
        std::vector<pid_t> pids = children_but_keeper();
        std::vector<int> members = sweep_namespace ? namespace_members() : std::vector<int>();
        if (pids.empty() && members.empty()) break;
        if (elapsed_ms(start) > kGiveUpMs) {
            left = pids.size() + members.size();
            for (int fd : members) close(fd);
            break;
        }
        // Each is our unreaped child, so its pid cannot be anyone else's.
        for (pid_t pid : pids) kill(pid, SIGKILL);
        for (int fd : members) {
            syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
            close(fd);
        }
        bool reaped = false;
        for (pid_t pid : pids) reaped = waitpid(pid, nullptr, WNOHANG) == pid || reaped;
        if (!reaped) {
            timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    if (left > 0) {
        fprintf(stderr,
                "%s: %zu processes that the copies started still ran after %ld s of killing; "
                "left running\n",
                program_invocation_short_name, left, kGiveUpMs / 1000);
    }
    // Last, since the kernel then kills all in the namespace at once.
    if (last_stop && keeper > 0) {
        kill(keeper, SIGKILL);
        while (waitpid(keeper, nullptr, 0) < 0 && errno == EINTR) {
        }
        keeper = 0;
    }
}
