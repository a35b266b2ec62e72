// Both INI readers over arbitrary file bytes. Input: one byte that picks a
// small capacity, then "section\0key\0file"; without two NUL bytes the rest
// is all file, read for Platform/total. Each result is checked against a
// plain model of the line rules, and no descriptor may be left open.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ini.h"

namespace {

#define CHECK(condition)                                                                        \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(real_stderr(), "check failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

constexpr uint8_t kFill = 0xAA;
constexpr size_t kGuard = 16;

FILE* real_stderr() {
    static FILE* saved = stderr;
    return saved;
}

// The readers' messages would drown libFuzzer's output and slow it down.
struct QuietStderr {
    QuietStderr() {
        static FILE* null_stream = std::fopen("/dev/null", "w");
        real_stderr();
        if (null_stream != nullptr) stderr = null_stream;
    }
    ~QuietStderr() { stderr = real_stderr(); }
};

// The lowest free descriptor: a stream left open would take it.
int lowest_free_fd() {
    int fd = dup(STDIN_FILENO);
    CHECK(fd >= 0);
    close(fd);
    return fd;
}

// What either reader should find: the value, or nothing. `header_limit` is
// the room the reader has for "[section]" and its terminator.
std::optional<std::string> model(const std::string& file, const std::string& section,
                                 const std::string& key, size_t header_limit) {
    if (section.size() + 3 > header_limit) return std::nullopt;
    const std::string header = "[" + section + "]";
    bool open = false;
    std::string line;
    for (size_t i = 0; i <= file.size(); ++i) {
        if (i < file.size() && file[i] == '\r') continue;
        if (i < file.size() && file[i] != '\n') {
            if (line.size() < INI_LINE_MAX) line += file[i];
            continue;
        }
        // The readers work on C strings: a NUL byte ends the line early.
        std::string text = line.substr(0, line.find('\0'));
        line.clear();
        text = text.substr(0, text.find(';'));
        size_t equals = text.find('=');
        if (equals != std::string::npos && open) {
            if (text.compare(0, equals, key) == 0 && equals == key.size()) {
                return text.substr(equals + 1);
            }
            continue;
        }
        if (text.compare(0, header.size(), header) == 0) open = true;
    }
    return std::nullopt;
}

// `out` of `size` bytes holds `expected` if it fits, else the fallback; the
// bytes after a delivered value are untouched.
void check_value(const uint8_t* out, size_t size, const std::optional<std::string>& expected) {
    CHECK(std::memchr(out, '\0', size) != nullptr);
    if (expected && expected->size() + 1 <= size) {
        CHECK(std::memcmp(out, expected->c_str(), expected->size() + 1) == 0);
        for (size_t i = expected->size() + 1; i < size; ++i) CHECK(out[i] == kFill);
    } else {
        // "0" cut to size - 1 bytes, then zeros: a capacity of 1 holds "".
        for (size_t i = 0; i < size; ++i) CHECK(out[i] == (i == 0 && size > 1 ? '0' : '\0'));
    }
}

int file_fd() {
    static int fd = memfd_create("ini_fuzz", 0);
    CHECK(fd >= 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t small_capacity = data[0] % 48;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string section = "Platform", key = "total", file = rest;
    size_t first = rest.find('\0');
    size_t second = first == std::string::npos ? first : rest.find('\0', first + 1);
    if (second != std::string::npos) {
        section = rest.substr(0, first);
        key = rest.substr(first + 1, second - first - 1);
        file = rest.substr(second + 1);
    }

    const int fd = file_fd();
    CHECK(ftruncate(fd, 0) == 0);
    CHECK(pwrite(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    QuietStderr quiet;
    const int free_before = lowest_free_fd();

    // The launcher's call: 1024 bytes, a header of at most 512.
    const std::optional<std::string> expected = model(file, section, key, 512);
    std::vector<uint8_t> out(1024, kFill);
    char* text = reinterpret_cast<char*>(out.data());
    CHECK(ini_read_value(path.c_str(), section.c_str(), key.c_str(), text, out.size()) == text);
    check_value(out.data(), out.size(), expected);
    CHECK(lowest_free_fd() == free_before);

    // A small capacity, with guard bytes behind it.
    std::vector<uint8_t> small(small_capacity + kGuard, kFill);
    text = reinterpret_cast<char*>(small.data());
    CHECK(ini_read_value(path.c_str(), section.c_str(), key.c_str(), text, small_capacity) == text);
    if (small_capacity > 0) check_value(small.data(), small_capacity, expected);
    for (size_t i = small_capacity; i < small.size(); ++i) CHECK(small[i] == kFill);
    CHECK(lowest_free_fd() == free_before);

    // The stream reader, handed a stream of its own over the same bytes.
    int stream_fd = open(path.c_str(), O_RDONLY);
    CHECK(stream_fd >= 0);
    FILE* stream = fdopen(stream_fd, "r");
    CHECK(stream != nullptr);
    const char* value = ini_read_value_stream(stream, section.c_str(), key.c_str());
    CHECK(fcntl(stream_fd, F_GETFD) == -1 && errno == EBADF);
    CHECK(lowest_free_fd() == free_before);
    CHECK(value != nullptr && strnlen(value, INI_LINE_MAX + 1) <= INI_LINE_MAX);
    const std::optional<std::string> from_stream = model(file, section, key, INI_LINE_MAX + 1);
    CHECK(value == from_stream.value_or(""));
    return 0;
}
