// Readers for the launcher's INI file. Both read one value of one section,
// character by character, with the same line rules: carriage returns are
// dropped, a ";" starts a comment, a header is compared over its own length,
// keys and values are taken untrimmed, and once the wanted section has been
// seen it stays open for the rest of the file.
#pragma once

#include <cstddef>
#include <cstdio>

// A line holds at most this many characters; the rest of a longer line is
// dropped.
constexpr size_t INI_LINE_MAX = 1023;

// Opens `path`, looks for `key` in `section` and copies its value into `out`
// (capacity `out_size`). Whenever the value cannot be delivered `out` holds
// "0" with zero bytes after it, cut to fit (so "" at capacity 1). Reports
// failures on standard error. Returns `out`. Writes nothing when `out_size`
// is 0.
char* ini_read_value(const char* path, const char* section, const char* key, char* out,
                     size_t out_size);

// Looks for `key` in `section` of the open `stream` and closes the stream on
// every path. Returns the value, or "" when it is not found. The result lives
// in a static buffer until the next call: not reentrant.
const char* ini_read_value_stream(FILE* stream, const char* section, const char* key);
