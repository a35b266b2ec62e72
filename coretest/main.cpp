// Stand-in for the core test program that SpawnBench starts: checks its four
// arguments, forms the ID of every index in its range and reports. The
// VORNCORE_* variables make it record, sleep, hold, start a child, fail (its
// first tries too), die by a signal or write lines of output for tests.
#include <stdarg.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "id_template.h"
#include "vorn_console.h"
#include "vorn_self.h"
#include "vorn_util.h"

namespace {

const char kProgram[] = "VORNCoreExTest.exe";
constexpr int kUsageStatus = 2;

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

void fail(const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", kProgram, message);
    exit(kUsageStatus);
}

// Untrusted text shown in a message: keep it on one line and bounded.
std::string shown(const char* text) {
    std::string out;
    for (size_t i = 0; text[i] != '\0' && out.size() < 300; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The whole string must be a decimal number in [low, high].
bool parse_int(const char* text, int64_t low, int64_t high, int64_t* value) {
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p == '\0') return false;
    int64_t v = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) return false;
    }
    v = negative ? -v : v;
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

int64_t int_argument(const char* name, const char* text, int64_t low = 0) {
    int64_t value = 0;
    if (!parse_int(text, low, INT32_MAX, &value)) {
        fail("%s must be a whole number from %lld to %d, not \"%s\"", name,
             static_cast<long long>(low), INT32_MAX, shown(text).c_str());
    }
    return value;
}

// The copy number as given, so that a knob can be set for one copy only.
const char* g_copy_text = nullptr;

// NAME_<copy> wins over NAME for that copy.
int64_t env_int(const char* name, int64_t low, int64_t high, int64_t fallback) {
    std::string own = g_copy_text != nullptr ? std::string(name) + "_" + g_copy_text : "";
    const char* text = own.empty() ? nullptr : getenv(own.c_str());
    if (text != nullptr) name = own.c_str();
    if (text == nullptr) text = getenv(name);
    if (text == nullptr) return fallback;
    int64_t value = 0;
    if (!parse_int(text, low, high, &value)) {
        fail("%s must be a whole number from %lld to %lld, not \"%s\"", name,
             static_cast<long long>(low), static_cast<long long>(high), shown(text).c_str());
    }
    return value;
}

// Written under a hidden name and renamed, so a reader never sees half a file.
void write_record(const char* dir, const char* suffix, const std::string& contents) {
    std::string pid = std::to_string(util_own_process_id());
    std::string temp = std::string(dir) + "/." + pid + ".tmp";
    std::string final_path = std::string(dir) + "/" + pid + suffix;
    std::string why;
    if (!util_write_file_whole(final_path, temp, contents, &why)) {
        fail("cannot write %s: %s", shown(final_path.c_str()).c_str(), why.c_str());
    }
}

void describe(const char* what, int64_t copy, int64_t start, int64_t share,
              const coretest::IdTemplate& t) {
    if (share == 0) {
        printf("VORNCoreExTest copy %lld: %s empty range at index %lld (0)\n",
               static_cast<long long>(copy), what, static_cast<long long>(start));
    } else {
        char first[coretest::kMaxIdSize];
        char last[coretest::kMaxIdSize];
        coretest::format_id(t, static_cast<int32_t>(start), first, sizeof first);
        coretest::format_id(t, static_cast<int32_t>(start + share - 1), last, sizeof last);
        printf("VORNCoreExTest copy %lld: %s indices %lld-%lld (%lld), first ID %s, last ID %s\n",
               static_cast<long long>(copy), what, static_cast<long long>(start),
               static_cast<long long>(start + share - 1), static_cast<long long>(share), first,
               last);
    }
    fflush(stdout);
}

// Counts this copy's tries in `dir`; returns which try this is, from 1.
int64_t count_try(const char* dir, const char* copy) {
    std::string path = std::string(dir) + "/tries-" + copy;
    int64_t tries = 0;
    if (FILE* file = fopen(path.c_str(), "r")) {
        long long read_tries = 0;
        if (fscanf(file, "%lld", &read_tries) == 1) tries = read_tries;
        fclose(file);
    }
    ++tries;
    std::string why;
    std::string temp = std::string(dir) + "/.tries-" + copy + ".tmp";
    if (!util_write_file_whole(path, temp, std::to_string(tries) + "\n", &why)) {
        fail("cannot write %s: %s", shown(path.c_str()).c_str(), why.c_str());
    }
    return tries;
}

// Writes `bytes` of output in lines of `length` bytes, the line end included
// (or of a random length up to it), each one checkable on its own:
// "c<copy> l<number> n<length> " and then a letter of its number repeated.
// `streams`: 1 standard output, 2 standard error, 3 both in turn.
void write_lines(int64_t copy, int64_t bytes, int64_t length, bool random_length, int streams,
                 bool no_end) {
    uint64_t state = static_cast<uint64_t>(copy) * 2654435761u + 1;
    std::string line;
    for (int64_t number = 0; bytes > 0; ++number) {
        int64_t size = length;
        if (random_length) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            // Long enough for the header, so that every line can be checked.
            int64_t least = std::min<int64_t>(length, 32);
            size = least +
                   static_cast<int64_t>((state >> 33) % static_cast<uint64_t>(length - least + 1));
        }
        size = std::min(size, bytes);
        line = "c" + std::to_string(copy) + " l" + std::to_string(number) + " n" +
               std::to_string(size) + " ";
        if (static_cast<int64_t>(line.size()) + 1 > size) line = std::string(size - 1, '#');
        line.append(static_cast<size_t>(size - 1) - line.size(),
                    static_cast<char>('a' + number % 26));
        bytes -= size;
        if (!(no_end && bytes == 0)) line += '\n';
        FILE* stream = streams == 2 || (streams == 3 && number % 2 == 1) ? stderr : stdout;
        fwrite(line.data(), 1, line.size(), stream);
    }
    fflush(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    util_hold_if_holding_child(argc, argv);
    // As the launcher gave them, empty ones included.
    const std::vector<std::string> arguments = util_own_arguments(argc, argv);
    if (arguments.size() == 5) g_copy_text = arguments[4].c_str();
    const char* record_dir = getenv("VORNCORE_RECORD_DIR");
    if (record_dir != nullptr) {
        if (*record_dir == '\0') fail("VORNCORE_RECORD_DIR is empty");
        std::string args = std::to_string(util_own_process_id()) + "\n";
        for (const std::string& argument : arguments) args += argument + "\n";
        write_record(record_dir, ".args", args);
    }

    int64_t delay_ms = env_int("VORNCORE_DELAY_MS", 0, INT32_MAX, 10);
    int64_t hold_ms = env_int("VORNCORE_HOLD_MS", -1, INT32_MAX, 0);
    int64_t exit_status = env_int("VORNCORE_EXIT", 0, 255, 0);
    // Children of its own, which hold until killed.
    int64_t children = env_int("VORNCORE_CHILD", 0, 1000, 0);
    // Descendants out of its process group's reach.
    int64_t session_children = env_int("VORNCORE_SESSION_CHILD", 0, 1000, 0);
    int64_t daemons = env_int("VORNCORE_DAEMON", 0, 1000, 0);
    bool fork_loop = env_int("VORNCORE_FORK_LOOP", 0, 1, 0) == 1;
    bool ignore_term = env_int("VORNCORE_IGNORE_TERM", 0, 1, 0) == 1;
    int64_t end_signal = env_int("VORNCORE_SIGNAL", 0, 64, 0);
    int64_t fail_tries = env_int("VORNCORE_FAIL_TRIES", 0, 1000, 0);
    int64_t write_bytes = env_int("VORNCORE_WRITE_BYTES", 0, INT32_MAX, 0);
    int64_t line_length = env_int("VORNCORE_LINE_LENGTH", 1, 16 << 20, 80);
    bool random_length = env_int("VORNCORE_LINE_RANDOM", 0, 1, 0) == 1;
    int64_t write_stream = env_int("VORNCORE_WRITE_STREAM", 1, 3, 1);
    bool no_end = env_int("VORNCORE_WRITE_NO_END", 0, 1, 0) == 1;

    if (arguments.size() != 5) {
        fail("expected 4 arguments, got %d; usage: %s <template> <start> <share> <copy>",
             static_cast<int>(arguments.size()) - 1, kProgram);
    }
    coretest::IdTemplate id_template;
    std::string why;
    if (!coretest::parse_id_template(arguments[1].c_str(), &id_template, &why)) {
        fail("bad template \"%s\": %s", shown(arguments[1].c_str()).c_str(), why.c_str());
    }
    int64_t start = int_argument("start", arguments[2].c_str());
    // The launcher hands a negative share to the copy of a small negative
    // total; that is an empty range, not an error.
    int64_t share = std::max<int64_t>(0, int_argument("share", arguments[3].c_str(), INT32_MIN));
    int64_t copy = int_argument("copy", arguments[4].c_str());
    if (start + share > INT32_MAX) {
        fail("range %lld + %lld goes beyond %d", static_cast<long long>(start),
             static_cast<long long>(share), INT32_MAX);
    }

    if (ignore_term) util_ignore_stop_requests();
    if (children > 0) {
        fflush(nullptr);
        std::string pids;
        for (int64_t i = 0; i < children; ++i) {
            uint32_t child = util_start_holding_child(&why);
            if (child == 0) fail("cannot start a child: %s", why.c_str());
            pids += std::to_string(child) + "\n";
        }
        if (record_dir != nullptr) write_record(record_dir, ".child", pids);
    }
    fflush(nullptr);
    for (int64_t i = 0; i < session_children + daemons + (fork_loop ? 1 : 0); ++i) {
        UtilStray kind = i < session_children             ? UtilStray::kSession
                         : i < session_children + daemons ? UtilStray::kDaemon
                                                          : UtilStray::kForkLoop;
        if (util_start_stray(kind, &why) == 0) fail("cannot start a child: %s", why.c_str());
    }

    if (fail_tries > 0) {
        if (record_dir == nullptr) fail("VORNCORE_FAIL_TRIES needs VORNCORE_RECORD_DIR");
        if (count_try(record_dir, arguments[4].c_str()) <= fail_tries) {
            printf("VORNCoreExTest copy %lld: failing this try on purpose\n",
                   static_cast<long long>(copy));
            return 1;
        }
    }
    describe("start", copy, start, share, id_template);
    if (write_bytes > 0) {
        // Written in large blocks, as a busy program would.
        static char buffer[1 << 16];
        setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        write_lines(copy, write_bytes, line_length, random_length, static_cast<int>(write_stream),
                    no_end);
    }
    char id[coretest::kMaxIdSize];
    for (int64_t index = start; index < start + share; ++index) {
        coretest::format_id(id_template, static_cast<int32_t>(index), id, sizeof id);
        if (delay_ms > 0) util_sleep_ms(static_cast<uint32_t>(delay_ms));
    }
    if (hold_ms < 0) util_hold_forever();
    if (hold_ms > 0) util_sleep_ms(static_cast<uint32_t>(hold_ms));
    // Dies as a crash would, past any handler a sanitizer installed.
    if (end_signal != 0) util_raise_signal(static_cast<int>(end_signal));
    describe("done", copy, start, share, id_template);
    return static_cast<int>(exit_status);
}
