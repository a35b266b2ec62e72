// POSIX implementation of the utility layer. Children are started with
// vfork and exec, each leading a process group of its own and killed when the
// thread that started it dies, and are remembered until they are stopped, so
// that a pid is only ever signalled while its process (or at least its
// zombie) still holds it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "stream_internal.h"
#include "vorn_contain.h"
#include "vorn_util.h"

extern char** environ;

namespace {

// Far beyond the launcher's 256-byte lines, small enough to bound everything.
constexpr size_t kMaxCommandLine = 4096;

std::mutex registry_mutex;
// Started by us and not reaped yet. This relies on SIGCHLD not being ignored:
// then the kernel would reap our children itself and free their pids.
std::set<pid_t> registry;
bool subreaper_set = false;

// Copes with both the GNU and the XSI strerror_r.
[[maybe_unused]] const char* pick_error(int rc, const char* buf) {
    return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* pick_error(const char* msg, const char*) { return msg; }

// Leaves "cannot start <name>: <reason>" in `why`, cut to fit.
void describe_failed_start(const std::string& name, int error, char* why, size_t why_size) {
    if (why == nullptr || why_size == 0) return;
    char buf[256];
    const char* reason = pick_error(strerror_r(error, buf, sizeof buf), buf);
    // The name comes from our caller; keep the message on one line regardless.
    std::string shown = name;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    snprintf(why, why_size, "cannot start %s: %s", shown.c_str(), reason);
}

std::vector<std::string> split_at_blanks(const char* line) {
    std::vector<std::string> words(1);
    for (const char* p = line; *p != '\0'; ++p) {
        if (*p == ' ') {
            words.emplace_back();
        } else {
            words.back() += *p;
        }
    }
    return words;
}

bool is_executable_file(const std::string& path, bool* seen) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *seen = true;
    return access(path.c_str(), X_OK) == 0;
}

std::string own_folder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

// Finds `name` as the original platform did: our own folder, the current
// folder, then PATH. Returns 0 and the path, or an errno value.
int find_program(const std::string& name, std::string* path) {
    if (name.find('/') != std::string::npos) {
        *path = name;
        return 0;
    }
    if (name.empty()) return ENOENT;
    if (name.size() > NAME_MAX) return ENAMETOOLONG;
    std::vector<std::string> folders;
    std::string own = own_folder();
    if (!own.empty()) folders.push_back(own);
    folders.push_back(".");
    const char* env_path = getenv("PATH");
    std::string search = env_path != nullptr ? env_path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= search.size()) {
        size_t end = search.find(':', begin);
        if (end == std::string::npos) end = search.size();
        // An empty entry means the current folder, which is searched already.
        if (end > begin) folders.push_back(search.substr(begin, end - begin));
        begin = end + 1;
    }
    bool seen = false;
    for (const std::string& folder : folders) {
        std::string candidate = folder == "/" ? "/" + name : folder + "/" + name;
        if (candidate.size() >= PATH_MAX) continue;
        if (is_executable_file(candidate, &seen)) {
            *path = candidate;
            return 0;
        }
    }
    return seen ? EACCES : ENOENT;
}

// The child's own children are handed to us when it dies, so stopping a
// copy can reap everything it started.
void become_subreaper_once() {
    if (subreaper_set) return;
    subreaper_set = true;
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

// An ignored SIGCHLD (it can be inherited that way, or set later) makes the
// kernel reap our children itself, freeing pids that the registry still holds.
void keep_children_for_us() {
    struct sigaction current {};
    if (sigaction(SIGCHLD, nullptr, &current) == 0 &&
        (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0)) {
        signal(SIGCHLD, SIG_DFL);
    }
}

// ThreadSanitizer turns vfork into fork, so the child's memory is its own.
#if defined(__SANITIZE_THREAD__)
constexpr bool kChildSharesMemory = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kChildSharesMemory = false;
#else
constexpr bool kChildSharesMemory = true;
#endif
#else
constexpr bool kChildSharesMemory = true;
#endif

// Everything the child needs, made ready before vfork: it may not allocate.
struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    sigset_t defaults;  // reset to the default action even if ignored here
    pid_t parent;
    int report_fd;       // write end of the failure pipe, or -1
    int out_fd;          // to become standard output, or -1 for ours
    int err_fd;          // to become standard error, or -1 for ours
    bool restore_limit;  // give back the descriptor limit we began with
    struct rlimit limit;
    volatile int error;  // errno of the step that failed, when memory is shared
};

// Runs in the vforked child, on our memory and our stack, with every signal
// blocked: only async-signal-safe calls, and no return.
[[noreturn]] __attribute__((noinline, no_sanitize_address)) void run_child(ChildPlan* plan) {
    // Once the mask is cleared below, none of our handlers may run here.
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0) continue;
        if (sigismember(&plan->defaults, sig) == 1 ||
            (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)) {
            sigaction(sig, &default_action, nullptr);
        }
    }
    // The Enter key belongs to the launcher; Ctrl+C reaches only its group.
    bool ok = setpgid(0, 0) == 0;
    if (ok) {
        // Closed first, so that taking it over needs no spare descriptor.
        close(STDIN_FILENO);
        int null_fd = open("/dev/null", O_RDONLY);
        ok = null_fd == STDIN_FILENO ||
             (null_fd > STDIN_FILENO && dup2(null_fd, STDIN_FILENO) == STDIN_FILENO &&
              close(null_fd) == 0);
    }
    // Ours are all open (util_ensure_standard_streams), so these lie above 2
    // and dup2 clears their close-on-exec in the copy.
    if (ok && plan->out_fd >= 0) ok = dup2(plan->out_fd, STDOUT_FILENO) == STDOUT_FILENO;
    if (ok && plan->err_fd >= 0) ok = dup2(plan->err_fd, STDERR_FILENO) == STDERR_FILENO;
    if (ok && plan->restore_limit) setrlimit(RLIMIT_NOFILE, &plan->limit);
    // Killed with the thread that started it, even if that dies by SIGKILL.
    ok = ok && prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) == 0;
    // If the launcher died before the prctl, the signal will never come. In a
    // PID namespace of util_contain_fleet the live launcher shows as 0.
    if (ok && getppid() != plan->parent && getppid() != 0) _exit(127);
    if (ok) {
        sigset_t empty;
        sigemptyset(&empty);
        sigprocmask(SIG_SETMASK, &empty, nullptr);
        execve(plan->path, plan->argv, plan->envp);
    }
    int error = errno;
    plan->error = error;
    if (plan->report_fd >= 0) {
        ssize_t written = write(plan->report_fd, &error, sizeof error);
        (void)written;
    }
    _exit(127);
}

// Kept apart so that nothing of the caller's lives across the vfork.
__attribute__((noinline)) pid_t vfork_child(ChildPlan* plan) {
    pid_t child = vfork();
    if (child == 0) run_child(plan);
    return child;
}

// Starts `path` with `words` as its argv. Returns 0 and the pid, or an errno
// value; a child whose exec failed is reaped here and never seen outside.
int spawn(const std::string& path, const std::vector<std::string>& words, int out_fd, int err_fd,
          pid_t* pid) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    ChildPlan plan;
    plan.path = path.c_str();
    plan.argv = argv.data();
    plan.envp = environ;
    sigemptyset(&plan.defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2,
                    SIGTSTP, SIGTTIN, SIGTTOU}) {
        sigaddset(&plan.defaults, sig);
    }
    plan.parent = getpid();
    plan.report_fd = -1;
    plan.out_fd = out_fd;
    plan.err_fd = err_fd;
    plan.restore_limit = util_internal::original_descriptor_limit(&plan.limit);
    plan.error = 0;
    // With shared memory the child leaves its errno in `plan`; otherwise it
    // writes it to a pipe that its exec closes. Out of descriptors, the copy
    // is started all the same, and a failed exec shows only as its exit.
    int report[2] = {-1, -1};
    if (!kChildSharesMemory && pipe2(report, O_CLOEXEC) == 0) plan.report_fd = report[1];

    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    pid_t child = vfork_child(&plan);
    int error = child < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);

    if (kChildSharesMemory) {
        if (child > 0) error = plan.error;
    } else if (plan.report_fd >= 0) {
        close(report[1]);
        int reported = 0;
        ssize_t got;
        do {
            got = read(report[0], &reported, sizeof reported);
        } while (got < 0 && errno == EINTR);
        if (child > 0 && got == static_cast<ssize_t>(sizeof reported)) error = reported;
        close(report[0]);
    }
    if (child > 0 && error != 0) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return error;
    }
    *pid = child;
    return error;
}

// Descriptors made for one start, closed on every path.
struct StartFds {
    int file = -1;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    ~StartFds() {
        for (int fd : {file, out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) close(fd);
        }
    }
};

// Opens what `options` asks for. Returns 0 or an errno value.
int open_outputs(const util_start_options& options, StartFds* fds) {
    if (options.output_file != nullptr) {
        fds->file = open(options.output_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fds->file < 0) return errno;
    }
    if (options.out_stream != nullptr && pipe2(fds->out, O_CLOEXEC) != 0) return errno;
    if (options.err_stream != nullptr && pipe2(fds->err, O_CLOEXEC) != 0) return errno;
    for (int fd : {fds->out[0], fds->err[0]}) {
        if (fd >= 0 && fcntl(fd, F_SETFL, O_NONBLOCK) != 0) return errno;
    }
    return 0;
}

// A contained fleet's copies are started on the thread that keeps them in
// their PID namespace.
int spawn_contained_or_here(const std::string& path, const std::vector<std::string>& words,
                            int out_fd, int err_fd, pid_t* pid) {
    struct Call {
        const std::string& path;
        const std::vector<std::string>& words;
        int out_fd;
        int err_fd;
        pid_t* pid;
        int error;
    } call{path, words, out_fd, err_fd, pid, 0};
    auto work = [](void* arg) {
        Call* c = static_cast<Call*>(arg);
        c->error = spawn(c->path, c->words, c->out_fd, c->err_fd, c->pid);
    };
    return util_contain_run(work, &call) ? call.error : spawn(path, words, out_fd, err_fd, pid);
}

}  // namespace

bool util_is_file_exist(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

util_process_handle util_process_start_with(const char* command_line,
                                            const util_start_options& options, char* why,
                                            size_t why_size) {
    if (why != nullptr && why_size > 0) why[0] = '\0';
    if (options.out_stream != nullptr) *options.out_stream = UTIL_NO_STREAM;
    if (options.err_stream != nullptr) *options.err_stream = UTIL_NO_STREAM;
    if (command_line == nullptr) {
        describe_failed_start("(null)", EINVAL, why, why_size);
        return UTIL_NO_PROCESS;
    }
    size_t length = strnlen(command_line, kMaxCommandLine + 1);
    if (length > kMaxCommandLine) {
        const char* blank = static_cast<const char*>(memchr(command_line, ' ', kMaxCommandLine));
        size_t name_length = blank != nullptr ? static_cast<size_t>(blank - command_line) : 64;
        describe_failed_start(std::string(command_line, name_length), E2BIG, why, why_size);
        return UTIL_NO_PROCESS;
    }
    std::vector<std::string> words = split_at_blanks(command_line);
    std::string path;
    int error = find_program(words[0], &path);
    StartFds fds;
    if (error == 0) error = open_outputs(options, &fds);
    int out_fd = fds.file >= 0 ? fds.file : fds.out[1];
    int err_fd = fds.file >= 0 ? fds.file : fds.err[1];
    pid_t pid = 0;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        become_subreaper_once();
        keep_children_for_us();
        util_internal::catch_child_ends();
        if (error == 0) error = spawn_contained_or_here(path, words, out_fd, err_fd, &pid);
        if (error == 0) registry.insert(pid);
    }
    if (error != 0) {
        describe_failed_start(words[0], error, why, why_size);
        return UTIL_NO_PROCESS;
    }
    // The read ends are the caller's now; the rest closes with `fds`.
    if (options.out_stream != nullptr) std::swap(*options.out_stream, fds.out[0]);
    if (options.err_stream != nullptr) std::swap(*options.err_stream, fds.err[0]);
    return pid;
}

util_process_handle util_process_start(const char* command_line, char* why, size_t why_size) {
    return util_process_start_with(command_line, util_start_options{}, why, why_size);
}

util_process_handle util_process_cmd_launch_no_wait(const char* command_line) {
    // Room for a whole name of the longest command line, and the reason.
    char why[kMaxCommandLine + 256];
    util_process_handle handle = util_process_start(command_line, why, sizeof why);
    if (handle == UTIL_NO_PROCESS) fprintf(stderr, "%s: %s\n", program_invocation_short_name, why);
    return handle;
}

int util_process_end_state(util_process_handle handle, util_process_end* end) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (handle <= 0 || registry.count(handle) == 0) return -ESRCH;
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int rc;
    do {
        rc = waitid(P_PID, static_cast<id_t>(handle), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return -errno;
    if (info.si_pid == 0) return 0;
    end->kind = info.si_code == CLD_EXITED ? UTIL_END_EXITED : UTIL_END_SIGNALED;
    end->code = static_cast<uint32_t>(info.si_status);
    return 1;
}

bool util_is_process_running(util_process_handle handle) {
    util_process_end end;
    return util_process_end_state(handle, &end) == 0;
}

int util_process_signal(util_process_handle handle, int signal_number) {
    // Under the lock the pid cannot be reaped, so it is still the copy's.
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (handle <= 0 || registry.count(handle) == 0) return -ESRCH;
    pid_t pid = handle;
    int result = kill(-pid, signal_number) == 0 ? 0 : -errno;
    if (result != 0 || getpgid(pid) != pid) result = kill(pid, signal_number) == 0 ? 0 : -errno;
    return result;
}

// Returns 0 once the group is stopped and reaped, also for UTIL_NO_PROCESS;
// -ESRCH for a handle that is not (or no longer) ours, which is left alone.
int util_process_kill_handle(util_process_handle handle) {
    if (handle == UTIL_NO_PROCESS) return 0;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (handle < 0 || registry.erase(handle) == 0) return -ESRCH;
    }
    // Unreaped, the child (or its zombie) still holds the pid and the group
    // id, so this cannot hit anyone else.
    pid_t pid = handle;
    int result = 0;
    if (kill(-pid, SIGKILL) != 0 && errno != ESRCH) result = -errno;
    // A copy that moved itself into another group is not reached above, and
    // the wait below would never return.
    kill(pid, SIGKILL);
    pid_t rc;
    do {
        rc = waitpid(pid, nullptr, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && result == 0) result = -errno;
    // Whatever else was in the group got SIGKILL too, and came to us as its
    // subreaper once its parent died.
    for (;;) {
        rc = waitpid(-pid, nullptr, 0);
        if (rc < 0 && errno != EINTR) break;
    }
    return result;
}

void util_sleep_ms(uint32_t milliseconds) {
    struct timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
