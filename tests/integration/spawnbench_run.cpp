#include "spawnbench_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "temp_dir.h"

extern char** environ;

namespace spawnbench_test {

namespace {

// The test's own environment with `extra` over it; a later entry of `extra`
// wins over an earlier one of the same name.
std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<std::string> result;
    for (auto it = env.rbegin(); it != env.rend(); ++it) {
        std::string prefix = it->substr(0, it->find('=') + 1);
        bool seen = std::any_of(result.begin(), result.end(), [&](const std::string& x) {
            return x.compare(0, prefix.size(), prefix) == 0;
        });
        if (!seen) result.push_back(*it);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

SpawnBenchRun::SpawnBenchRun(const RunOptions& options) {
    out_path_ = options.folder + "/spawnbench.out";
    err_path_ = options.folder + "/spawnbench.err";

    std::vector<std::string> argv = options.shell_prefix;
    argv.push_back(options.program);
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<std::string> env = merged_environment(options.env);
    std::vector<char*> argv_ptrs = pointers(argv);
    std::vector<char*> env_ptrs = pointers(env);

    int pipe_fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.input == Input::kPipe && pipe2(pipe_fds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());
    // Nothing of ours (or of ctest's) but the three standard descriptors.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = -1;
    if (posix_spawn(&pid, argv_ptrs[0], &actions, nullptr, argv_ptrs.data(), env_ptrs.data()) ==
        0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_fds[0] != -1) close(pipe_fds[0]);
    input_fd_ = pipe_fds[1];
}

SpawnBenchRun::~SpawnBenchRun() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_input();
}

void SpawnBenchRun::press_enter() {
    if (input_fd_ != -1) {
        ssize_t written = write(input_fd_, "\n", 1);
        (void)written;
    }
}

void SpawnBenchRun::close_input() {
    if (input_fd_ != -1) close(input_fd_);
    input_fd_ = -1;
}

void SpawnBenchRun::send_signal(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
}

bool SpawnBenchRun::wait_for_output(const std::string& text, milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

int SpawnBenchRun::wait(milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (got == -1 || std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

std::string SpawnBenchRun::out() const { return testsupport::read_file(out_path_); }
std::string SpawnBenchRun::err() const { return testsupport::read_file(err_path_); }

namespace {

std::vector<std::string> files_with_suffix(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name[0] != '.' && name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(folder + "/" + name);
            }
        }
        closedir(dir);
    }
    return names;
}

}  // namespace

std::vector<Record> read_records(const std::string& folder) {
    std::vector<Record> records;
    for (const std::string& path : files_with_suffix(folder, ".args")) {
        std::istringstream in(testsupport::read_file(path));
        Record record;
        std::string line;
        if (std::getline(in, line)) record.pid = std::atoi(line.c_str());
        while (std::getline(in, line)) record.argv.push_back(line);
        records.push_back(record);
    }
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        return std::atol(a.argv.back().c_str()) < std::atol(b.argv.back().c_str());
    });
    return records;
}

bool wait_for_records(const std::string& folder, size_t count, milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (files_with_suffix(folder, ".args").size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

std::vector<pid_t> read_child_pids(const std::string& folder) {
    std::vector<pid_t> pids;
    for (const std::string& path : files_with_suffix(folder, ".child")) {
        std::istringstream in(testsupport::read_file(path));
        std::string line;
        while (std::getline(in, line)) pids.push_back(static_cast<pid_t>(std::atoi(line.c_str())));
    }
    return pids;
}

std::string new_mark() {
    return "VORN_TEST_MARK=" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::vector<pid_t> marked_processes(const std::string& mark, pid_t except) {
    std::vector<pid_t> pids;
    const std::string entry = std::string(1, '\0') + mark + '\0';
    if (DIR* proc = opendir("/proc")) {
        while (dirent* d = readdir(proc)) {
            pid_t pid = static_cast<pid_t>(std::atoi(d->d_name));
            if (pid <= 0 || pid == except) continue;
            std::string env =
                '\0' + testsupport::read_file("/proc/" + std::string(d->d_name) + "/environ");
            if (env.find(entry) != std::string::npos) pids.push_back(pid);
        }
        closedir(proc);
    }
    return pids;
}

void adopt_orphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

bool all_gone(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) {
        if (pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH)) return false;
    }
    return true;
}

bool no_children_left(const std::vector<pid_t>& known) {
    int status = 0;
    if (waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD) return true;
    // Something was left to us: end it so that later tests start clean. Only
    // pids that are still our unreaped children are signalled.
    for (pid_t pid : known) {
        siginfo_t info{};
        if (pid > 0 &&
            waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
    return false;
}

}  // namespace spawnbench_test
