#include "ini.h"

#include <cstring>

namespace {

constexpr size_t kLineSize = INI_LINE_MAX + 1;
constexpr size_t kHeaderSize = 512;

// Builds "[section]" into `out`; false if it does not fit.
bool build_header(const char* section, char* out, size_t out_size) {
    size_t length = std::strlen(section);
    if (length + 3 > out_size) return false;
    out[0] = '[';
    std::memcpy(out + 1, section, length);
    out[length + 1] = ']';
    out[length + 2] = '\0';
    return true;
}

// The search both readers share. `header` may be null: the section then never
// opens. On success the value (at most INI_LINE_MAX characters) is copied into
// `value`, which holds kLineSize bytes.
bool search(FILE* stream, const char* header, const char* key, char* value) {
    char line[kLineSize];
    size_t length = 0;
    bool open = false;
    size_t header_length = header ? std::strlen(header) : 0;

    while (!std::feof(stream)) {
        int c = std::fgetc(stream);
        if (c == EOF && std::ferror(stream)) return false;  // a read error ends the search
        if (c == '\r') continue;
        if (c != '\n' && c != EOF) {
            if (length < INI_LINE_MAX) line[length++] = static_cast<char>(c);
            continue;  // past the limit the rest of the line is dropped
        }
        line[length] = '\0';
        length = 0;

        if (char* comment = std::strchr(line, ';')) *comment = '\0';
        char* equals = std::strchr(line, '=');
        if (equals && open) {
            *equals = '\0';
            if (std::strcmp(line, key) == 0) {
                std::memcpy(value, equals + 1, std::strlen(equals + 1) + 1);
                return true;
            }
            continue;
        }
        if (header && std::strncmp(line, header, header_length) == 0) open = true;
    }
    return false;
}

// "0" followed by zero bytes up to the end of `out`.
void write_fallback(char* out, size_t out_size) {
    std::strncpy(out, "0", out_size - 1);
    out[out_size - 1] = '\0';
}

}  // namespace

char* ini_read_value(const char* path, const char* section, const char* key, char* out,
                     size_t out_size) {
    if (out == nullptr || out_size == 0) return out;
    if (path == nullptr || section == nullptr || key == nullptr) {
        write_fallback(out, out_size);
        return out;
    }
    FILE* stream = std::fopen(path, "r");
    if (stream == nullptr) {
        std::fprintf(stderr, "have no such file \n");
        write_fallback(out, out_size);
        return out;
    }

    char header[kHeaderSize];
    if (!build_header(section, header, sizeof header)) {
        std::fprintf(stderr, "buffer is not enough, bufferSize=%lu, require=%lu\n",
                     static_cast<unsigned long>(sizeof header),
                     static_cast<unsigned long>(std::strlen(section) + 3));
        std::fclose(stream);
        write_fallback(out, out_size);
        return out;
    }

    char value[kLineSize];
    bool found = search(stream, header, key, value);
    std::fclose(stream);
    if (found) {
        size_t need = std::strlen(value) + 1;
        if (need <= out_size) {
            std::memcpy(out, value, need);
            return out;
        }
        std::fprintf(stderr, "buffer is not enough, bufferSize=%lu, require=%lu\n",
                     static_cast<unsigned long>(out_size), static_cast<unsigned long>(need));
    }
    write_fallback(out, out_size);
    return out;
}

const char* ini_read_value_stream(FILE* stream, const char* section, const char* key) {
    static char buffer[kLineSize];
    if (stream == nullptr) return "";
    if (section == nullptr || key == nullptr) {
        std::fclose(stream);
        return "";
    }
    // The header is built in the result buffer; the value later replaces it.
    // A header too long for it can never match.
    bool fits = build_header(section, buffer, sizeof buffer);
    char value[kLineSize];
    bool found = search(stream, fits ? buffer : nullptr, key, value);
    std::fclose(stream);
    if (!found) return "";
    std::memcpy(buffer, value, std::strlen(value) + 1);
    return buffer;
}
