#include "id_template.h"

#include <cstring>

namespace coretest {

namespace {

// Appends within the buffer's bounds; `size` counts the terminator.
struct Writer {
    char* buf;
    size_t size;
    size_t length = 0;
    void put(char c) {
        if (length + 1 < size) buf[length++] = c;
    }
    void put(const std::string& s) {
        for (char c : s) put(c);
    }
    void pad(char c, int count) {
        for (int i = 0; i < count; ++i) put(c);
    }
};

}  // namespace

bool parse_id_template(const char* text, IdTemplate* out, std::string* error) {
    *out = IdTemplate();
    if (text == nullptr) {
        *error = "no template";
        return false;
    }
    size_t length = strnlen(text, kMaxTemplateLength + 1);
    if (length > kMaxTemplateLength) {
        *error = "longer than " + std::to_string(kMaxTemplateLength) + " characters";
        return false;
    }
    for (size_t i = 0; i < length;) {
        std::string& literal = out->has_conversion ? out->after : out->before;
        unsigned char c = static_cast<unsigned char>(text[i]);
        // An ID is printed on one line with others; control characters would break it.
        if (c < 0x20 || c == 0x7f) {
            *error = "control character at position " + std::to_string(i);
            return false;
        }
        if (c != '%') {
            literal += text[i++];
            continue;
        }
        size_t start = i++;
        if (i < length && text[i] == '%') {
            literal += '%';
            ++i;
            continue;
        }
        bool left = false, zeros = false, plus = false, space = false;
        for (; i < length && strchr("-0+ ", text[i]) != nullptr; ++i) {
            left |= text[i] == '-';
            zeros |= text[i] == '0';
            plus |= text[i] == '+';
            space |= text[i] == ' ';
        }
        int width = 0, digits = 0;
        for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
            if (digits == 2) {
                *error = "width of more than two digits at position " + std::to_string(start);
                return false;
            }
            width = width * 10 + (text[i] - '0');
        }
        if (i >= length) {
            *error = "unfinished conversion at position " + std::to_string(start);
            return false;
        }
        if (text[i] != 'd' && text[i] != 'i') {
            *error = std::string("conversion '") + text[i] + "' at position " +
                     std::to_string(start) +
                     " is not allowed (only %d or %i, flags -0+ and a width)";
            return false;
        }
        if (out->has_conversion) {
            *error = "second conversion at position " + std::to_string(start);
            return false;
        }
        ++i;
        out->has_conversion = true;
        out->left = left;
        out->zeros = zeros;
        out->plus = plus;
        out->space = space;
        out->width = width;
    }
    return true;
}

size_t format_id(const IdTemplate& t, int32_t value, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return 0;
    Writer w{buf, size};
    w.put(t.before);
    if (t.has_conversion) {
        char digits[16];
        int n = 0;
        // Through 64 bits so that the smallest int32 has a magnitude too.
        uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(value))
                                       : static_cast<uint64_t>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        char sign = value < 0 ? '-' : t.plus ? '+' : t.space ? ' ' : '\0';
        int used = n + (sign != '\0' ? 1 : 0);
        int fill = t.width > used ? t.width - used : 0;
        if (!t.left && !t.zeros) w.pad(' ', fill);
        if (sign != '\0') w.put(sign);
        if (!t.left && t.zeros) w.pad('0', fill);
        while (n > 0) w.put(digits[--n]);
        if (t.left) w.pad(' ', fill);
    }
    w.put(t.after);
    buf[w.length] = '\0';
    return w.length;
}

}  // namespace coretest
