// Between the POSIX process and stream files.
#pragma once

#include <sys/resource.h>

namespace util_internal {

// Makes every end of a child wake util_wait. Once is enough.
void catch_child_ends();

// The descriptor limit the program began with, if it has been raised since:
// the processes it starts get that one back.
bool original_descriptor_limit(struct rlimit* limit);

}  // namespace util_internal
