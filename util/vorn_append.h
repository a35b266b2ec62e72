// Appending lines to a file that many processes, on many machines, append to
// at once: a job log kept by the tasks of a cluster. One implementation file
// per OS sits beside it.
#pragma once

#include <cstddef>

// The file's beginning is not `head`: it is not ours to append to.
constexpr int UTIL_APPEND_FOREIGN = 1;

// Appends `size` bytes of `data` to the file at `path`, created if missing,
// with one write under an exclusive lock on the whole file (fcntl, which holds
// on NFS; LockFileEx on Windows). The file is open only for this call and is
// never inherited. A file found empty gets `head` first, in the same write; a
// file that does not begin with `head` is left as it is (UTIL_APPEND_FOREIGN).
// With `size` 0 it only makes sure of the head. Returns 0, UTIL_APPEND_FOREIGN,
// or a negative errno value.
int util_append_locked(const char* path, const char* head, const char* data, size_t size);
