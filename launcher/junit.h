// The fleet's results as JUnit XML, which CI systems show as tests: one
// testsuite, one testcase per copy, a failure in the report's words, skipped
// for a copy that was stopped or never tried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct CopyRecord;

// With --output, a testcase's system-out holds this much of the end of its
// copy's file.
constexpr size_t kJunitOutputTail = 64 * 1024;

std::string junit_document(const CopyRecord* copies, int32_t count, int64_t elapsed_ms);

// `bytes` as XML character data: valid UTF-8 of characters that XML 1.0
// allows, with markup escaped. Anything else becomes U+FFFD.
std::string xml_text(const std::string& bytes);
