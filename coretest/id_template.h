// The ID template of the stand-in core test program. The template comes from
// a configuration file, so it is checked here and never reaches printf: it
// may hold literal text, "%%", and at most one %d or %i with flags from
// "-0+ " and a width of up to two digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace coretest {

constexpr size_t kMaxTemplateLength = 255;
// Literal text, plus a sign and ten digits or a width of 99, plus the end.
constexpr size_t kMaxIdSize = kMaxTemplateLength + 99 + 1;

struct IdTemplate {
    std::string before;  // literal text, "%%" already made "%"
    std::string after;
    bool has_conversion = false;
    bool left = false;   // '-'
    bool zeros = false;  // '0'
    bool plus = false;   // '+'
    bool space = false;  // ' '
    int width = 0;
};

// Checks `text` and fills `out`. On refusal returns false and says why.
bool parse_id_template(const char* text, IdTemplate* out, std::string* error);

// Writes the ID of `value` into `buf` as printf would, never more than
// `size` bytes, always terminated. Returns the length written.
size_t format_id(const IdTemplate& t, int32_t value, char* buf, size_t size);

}  // namespace coretest
