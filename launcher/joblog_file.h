// A job log that many processes add to at once, each opening it only to add
// a line: the copies of --copy, run by Slurm's tasks or any other scheduler.
#pragma once

#include <string>

#include "record.h"

// Creates or empties `path` with the job log's header, as a run does. False
// with a one-line message if it cannot.
bool start_joblog(const char* path, std::string* error);

// 0 if `path` is a job log (or empty, and given its header now); else 2 after
// a one-line message on standard error.
int check_joblog(const char* path);

// Adds the line of `attempt`, a try of `copy`; a line that cannot be added is
// reported on standard error.
void add_joblog_line(const char* path, const CopyRecord& copy, const TryRecord& attempt);
