// Windows implementation of the utility layer. Each copy is created suspended,
// put into a job object of its own that kills everything in it when its last
// handle closes, and only then resumed: so whatever the copy starts is in the
// job from its first instruction, and a launcher that dies in any way takes
// its fleet with it. Every job reports to the completion port of stream.cpp,
// which is how util_wait learns of a copy's end. A handle given out is a
// 1-based index into a table of those process and job handles; an entry is
// emptied when stopped and never reused.
#include <errno.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "error.h"
#include "stream_internal.h"
#include "vorn_util.h"

namespace {

// CreateProcess's own limit, in characters without the terminator.
constexpr size_t kMaxCommandLine = 32766;
// How long a stop waits for the rest of a copy's job to be gone.
constexpr DWORD kJobEmptyWaitMs = 5000;
// How long a reported exit may take to show on the process's handle.
constexpr DWORD kSettleWaitMs = 100;

struct Entry {
    HANDLE process;
    HANDLE job;
    DWORD id;
};

std::mutex table_mutex;
std::vector<Entry> table;  // index + 1 is the handle; a stopped entry holds nulls

// "SpawnBench" for SpawnBench.exe, as the Linux build names itself.
std::string program_name() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name = length > 0 && length < sizeof path ? std::string(path, length) : "";
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

// Leaves "cannot start <name>: [<file>: ]<reason>" in `why`, cut to fit.
void describe_failed_start(std::string name, DWORD error, char* why, size_t why_size,
                           const char* file = nullptr) {
    if (why == nullptr || why_size == 0) return;
    if (file != nullptr) name = name + ": " + file;
    // The names come from our caller; keep the message on one line regardless.
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    snprintf(why, why_size, "cannot start %s: %s", name.c_str(),
             util_windows_reason(error).c_str());
}

// The null device for every copy's standard input, opened once.
HANDLE null_input() {
    static HANDLE input = [] {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
    }();
    return input;
}

// Console handles of Windows 7 and older are no kernel handles (their low two
// bits are set): valid in every process of the console, they are handed on as
// they are and cannot go in the list of inherited handles.
bool is_console_pseudo_handle(HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3;
}

// An inheritable duplicate of one of our standard handles, or null. Made per
// start, so that a standard handle replaced meanwhile is followed.
HANDLE inheritable_standard(DWORD which) {
    HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return nullptr;
    if (is_console_pseudo_handle(own)) return own;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// A job that kills what it holds when its last handle closes, and tells the
// port when a process of it ends.
HANDLE new_kill_on_close_job() {
    HANDLE port = util_windows_port();
    if (port == nullptr) return nullptr;
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT reports;
    reports.CompletionKey = reinterpret_cast<PVOID>(kJobKey);
    reports.CompletionPort = port;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &reports,
                                 sizeof reports)) {
        DWORD error = GetLastError();
        CloseHandle(job);
        SetLastError(error);
        return nullptr;
    }
    return job;
}

// Creates the copy suspended in a new process group, with the null device as
// its standard input and `output` and `error` (inheritable, or console
// pseudo-handles), and nothing else inherited: another thread's inheritable
// handles stay out of it.
DWORD create_suspended(std::string& command_line, HANDLE output, HANDLE error_output,
                       PROCESS_INFORMATION* info) {
    HANDLE streams[3] = {null_input(), output, error_output};
    if (streams[0] == INVALID_HANDLE_VALUE) streams[0] = nullptr;
    // A handle listed twice fails the start.
    HANDLE inherited[3];
    DWORD count = 0;
    for (HANDLE h : streams) {
        if (h != nullptr && !is_console_pseudo_handle(h) &&
            std::find(inherited, inherited + count, h) == inherited + count) {
            inherited[count++] = h;
        }
    }

    STARTUPINFOEXA startup;
    memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = streams[0];
    startup.StartupInfo.hStdOutput = streams[1];
    startup.StartupInfo.hStdError = streams[2];

    DWORD error = ERROR_SUCCESS;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)) {
        error = GetLastError();
    } else {
        if (count > 0 && !UpdateProcThreadAttribute(startup.lpAttributeList, 0,
                                                    PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                    count * sizeof(HANDLE), nullptr, nullptr)) {
            error = GetLastError();
        }
        // No lpApplicationName: the system looks for the program as it always
        // does, in the launcher's folder, the current folder, the system
        // folders and PATH.
        if (error == ERROR_SUCCESS &&
            !CreateProcessA(
                nullptr, &command_line[0], nullptr, nullptr, count > 0,
                CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                nullptr, &startup.StartupInfo, info)) {
            error = GetLastError();
        }
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    }
    return error;
}

DWORD start(std::string& command_line, HANDLE output, HANDLE error_output, Entry* entry) {
    HANDLE job = new_kill_on_close_job();
    if (job == nullptr) return GetLastError();
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    DWORD error = create_suspended(command_line, output, error_output, &info);
    if (error != ERROR_SUCCESS) {
        CloseHandle(job);
        return error;
    }
    if (!AssignProcessToJobObject(job, info.hProcess) || ResumeThread(info.hThread) == (DWORD)-1) {
        // Not in its job, it could outlive us: it never runs.
        error = GetLastError();
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        CloseHandle(job);
        return error;
    }
    CloseHandle(info.hThread);
    entry->process = info.hProcess;
    entry->job = job;
    entry->id = info.dwProcessId;
    return ERROR_SUCCESS;
}

// Where the child's output and error go: inheritable handles, or console
// pseudo-handles, which are not ours to close. Our ends of its pipes are kept
// in `out_stream` and `err_stream` until the start is known to have worked.
struct ChildOutput {
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    util_stream out_stream = UTIL_NO_STREAM;
    util_stream err_stream = UTIL_NO_STREAM;

    // Closes our copies of the child's ends.
    void close_child_ends() {
        for (HANDLE h : {output, error == output ? nullptr : error}) {
            if (h != nullptr && !is_console_pseudo_handle(h)) CloseHandle(h);
        }
        output = error = nullptr;
    }
};

// Opens what `options` asks for. Returns an error code; `*failed_file` names
// the output file when it is the file that failed.
DWORD open_child_output(const util_start_options& options, ChildOutput* child,
                        const char** failed_file) {
    if (options.output_file != nullptr) {
        // Appending only: the copy's two streams, through one handle, cannot
        // overwrite each other.
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE file = CreateFileA(options.output_file, FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *failed_file = options.output_file;
            return GetLastError();
        }
        child->output = child->error = file;
        return ERROR_SUCCESS;
    }
    DWORD error = ERROR_SUCCESS;
    if (options.out_stream != nullptr) {
        error = util_windows_make_pipe(&child->out_stream, &child->output);
    } else {
        child->output = inheritable_standard(STD_OUTPUT_HANDLE);
    }
    if (error != ERROR_SUCCESS) return error;
    if (options.err_stream != nullptr) {
        error = util_windows_make_pipe(&child->err_stream, &child->error);
    } else {
        child->error = inheritable_standard(STD_ERROR_HANDLE);
    }
    return error;
}

// Waits, bounded, until no process of the job is left.
void wait_until_empty(HANDLE job) {
    ULONGLONG deadline = GetTickCount64() + kJobEmptyWaitMs;
    while (GetTickCount64() < deadline) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr) ||
            accounting.ActiveProcesses == 0) {
            return;
        }
        Sleep(1);
    }
}

// The entry behind `handle`, or null when it is not one of ours.
Entry* find(util_process_handle handle) {
    if (handle <= 0 || static_cast<size_t>(handle) > table.size()) return nullptr;
    return &table[static_cast<size_t>(handle) - 1];
}

}  // namespace

bool util_is_file_exist(const char* path) {
    if (path == nullptr) return false;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

util_process_handle util_process_start_with(const char* command_line,
                                            const util_start_options& options, char* why,
                                            size_t why_size) {
    if (why != nullptr && why_size > 0) why[0] = '\0';
    if (options.out_stream != nullptr) *options.out_stream = UTIL_NO_STREAM;
    if (options.err_stream != nullptr) *options.err_stream = UTIL_NO_STREAM;
    if (command_line == nullptr) {
        describe_failed_start("(null)", ERROR_INVALID_PARAMETER, why, why_size);
        return UTIL_NO_PROCESS;
    }
    size_t length = strnlen(command_line, kMaxCommandLine + 1);
    std::string line(command_line, length);
    std::string name = line.substr(0, line.find(' '));
    if (length > kMaxCommandLine) {
        describe_failed_start(name.substr(0, 64), ERROR_FILENAME_EXCED_RANGE, why, why_size);
        return UTIL_NO_PROCESS;
    }
    ChildOutput child;
    const char* failed_file = nullptr;
    Entry entry{nullptr, nullptr, 0};
    DWORD error = open_child_output(options, &child, &failed_file);
    if (error == ERROR_SUCCESS) error = start(line, child.output, child.error, &entry);
    // The child has its own handles now; ours would keep its pipes from ending.
    child.close_child_ends();
    if (error == ERROR_SUCCESS) {
        std::lock_guard<std::mutex> lock(table_mutex);
        // Handles are never reused, so the table only grows.
        if (table.size() < static_cast<size_t>(INT32_MAX)) {
            table.push_back(entry);
            if (options.out_stream != nullptr) *options.out_stream = child.out_stream;
            if (options.err_stream != nullptr) *options.err_stream = child.err_stream;
            return static_cast<util_process_handle>(table.size());
        }
        error = ERROR_TOO_MANY_OPEN_FILES;
    }
    if (entry.job != nullptr) {
        TerminateJobObject(entry.job, 1);
        WaitForSingleObject(entry.process, INFINITE);
        CloseHandle(entry.process);
        CloseHandle(entry.job);
    }
    util_stream_close(child.out_stream);
    util_stream_close(child.err_stream);
    describe_failed_start(name, error, why, why_size, failed_file);
    return UTIL_NO_PROCESS;
}

util_process_handle util_process_start(const char* command_line, char* why, size_t why_size) {
    return util_process_start_with(command_line, util_start_options{}, why, why_size);
}

util_process_handle util_process_cmd_launch_no_wait(const char* command_line) {
    char why[512];
    util_process_handle handle = util_process_start(command_line, why, sizeof why);
    if (handle == UTIL_NO_PROCESS) {
        fprintf(stderr, "%s: %s\n", program_name().c_str(), why);
        fflush(stderr);
    }
    return handle;
}

bool util_is_process_running(util_process_handle handle) {
    std::lock_guard<std::mutex> lock(table_mutex);
    Entry* entry = find(handle);
    return entry != nullptr && entry->process != nullptr &&
           WaitForSingleObject(entry->process, 0) == WAIT_TIMEOUT;
}

int util_process_end_state(util_process_handle handle, util_process_end* end) {
    std::lock_guard<std::mutex> lock(table_mutex);
    Entry* entry = find(handle);
    if (entry == nullptr || entry->process == nullptr) return -ESRCH;
    DWORD waited = WaitForSingleObject(entry->process, 0);
    if (waited == WAIT_TIMEOUT) return 0;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(entry->process, &code)) return -EIO;
    end->kind = UTIL_END_EXITED;
    end->code = code;
    return 1;
}

int util_process_signal(util_process_handle handle, int) {
    std::lock_guard<std::mutex> lock(table_mutex);
    Entry* entry = find(handle);
    if (entry == nullptr || entry->process == nullptr) return -ESRCH;
    // The copy leads a process group of its own, whose id is its process id.
    DWORD group = GetProcessId(entry->process);
    return group != 0 && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group) ? 0 : -EPERM;
}

// Returns 0 once the copy's job is stopped, also for UTIL_NO_PROCESS; -ESRCH
// for a handle that is not (or no longer) ours, which is left alone.
int util_process_kill_handle(util_process_handle handle) {
    if (handle == UTIL_NO_PROCESS) return 0;
    Entry taken{nullptr, nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        Entry* entry = find(handle);
        if (entry == nullptr || entry->process == nullptr) return -ESRCH;
        taken = *entry;
        *entry = Entry{nullptr, nullptr, 0};
    }
    int result = 0;
    if (!TerminateJobObject(taken.job, 1)) {
        result = -EPERM;
        TerminateProcess(taken.process, 1);
    }
    WaitForSingleObject(taken.process, INFINITE);
    wait_until_empty(taken.job);
    CloseHandle(taken.process);
    // Kills whatever of the job is left, should anything be.
    CloseHandle(taken.job);
    return result;
}

void util_windows_settle_exit(DWORD process_id) {
    // Duplicated, so that the wait holds no lock and a stop meanwhile may
    // close the entry's own handle.
    HANDLE process = nullptr;
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        for (const Entry& entry : table) {
            if (entry.process != nullptr && entry.id == process_id) {
                DuplicateHandle(GetCurrentProcess(), entry.process, GetCurrentProcess(), &process,
                                SYNCHRONIZE, FALSE, 0);
                break;
            }
        }
    }
    if (process == nullptr) return;
    WaitForSingleObject(process, kSettleWaitMs);
    CloseHandle(process);
}

void util_sleep_ms(uint32_t milliseconds) {
    // INFINITE is not a duration.
    Sleep(milliseconds == INFINITE ? INFINITE - 1 : milliseconds);
}
