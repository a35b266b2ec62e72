// A campaign's record: what happened to each copy of the plan that it
// concerns, try by try, whether followed live or read back from a job log.
// Also the job log's lines and the words that every report uses, so that the
// console, the job log, JUnit and the page all say the same. Pure: files are
// opened and written elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"

// How a try ended.
enum class TryOutcome : uint8_t {
    kRunning,      // still under way (a live run only)
    kExited,       // ended on its own with status `code`; 0 passed
    kSignaled,     // killed by signal `code`, which SpawnBench did not send
    kStartFailed,  // could not be started
    kTimedOut,     // stopped for running past its time-out
    kStopped,      // still running when the fleet was stopped
    kNotTried,     // the fleet was stopped before its turn came
};

struct TryRecord {
    int64_t start_epoch_ms = 0;  // wall clock, as the job log has it
    int64_t runtime_ms = 0;
    int64_t timeout_ms = 0;  // kTimedOut: the limit it ran past (0: not known)
    int32_t code = 0;
    TryOutcome outcome = TryOutcome::kRunning;
};

bool try_passed(const TryRecord& attempt);
// Could not be started, exited with a status other than 0, was killed by a
// signal that SpawnBench did not send, or ran past its time-out.
bool try_failed(const TryRecord& attempt);

struct CopyRecord {
    int32_t copy = 0;   // its number in the plan
    int32_t first = 0;  // its range of indices: first...
    int32_t share = 0;  // ...and how many
    // Every try in order, across the reruns of a job log; the last decides.
    // A stop before its turn is a try of its own (kNotTried).
    std::vector<TryRecord> tries;
    std::string command;  // its command line, for the job log and the reports
    std::string output;   // the file its output went to, if any
    std::string host;     // the job log's Host of its last line (":" here)
};

// Its last try, or nullptr if it has none.
const TryRecord* last_try(const CopyRecord& copy);
bool copy_passed(const CopyRecord& copy);
bool copy_failed(const CopyRecord& copy);
// Tries that ran, or were meant to (all but kNotTried).
int32_t tries_run(const CopyRecord& copy);
// A copy that passed after a failed try is flaky: the number of its passing
// try, counted from 1 among those that ran; 0 for any other copy.
int32_t flaky_try(const CopyRecord& copy);

// One try's end in words: "exited with status 3", "was killed by signal 11
// (Segmentation fault)", "timed out after 2.5 s", "could not be started",
// "was stopped by SpawnBench", "was never tried".
std::string try_words(const TryRecord& attempt);
// "copy 1 exited with status 3 (output in logs/copy-1.log)", "copy 3 timed
// out after 2.5 s after 2 tries": its last try, for a copy that failed.
std::string how_it_failed(const CopyRecord& copy);
// "SpawnBench: 2 of 5 copies failed: copy 1 exited with status 3; ...", the
// first few named and the rest counted; empty when none failed.
std::string failure_summary(const CopyRecord* copies, int32_t count);
// "SpawnBench: 2 copies were flaky: copy 3 passed on its 2nd try; ...";
// empty when none was.
std::string flaky_summary(const CopyRecord* copies, int32_t count);
// "1st", "2nd", "3rd", "11th"...
std::string ordinal(int32_t n);

// The whole campaign, for the reports written at its end or from a job log.
struct CampaignRecord {
    std::vector<CopyRecord> copies;  // in copy order
    int32_t jobs = 0;                // at most this many ran at once; 0: no limit given
    std::string stop_reason;         // why it stopped early, if it did
};

// Counts over a campaign, by each copy's last try.
struct CampaignCounts {
    int32_t copies = 0;
    int32_t passed = 0;
    int32_t failed = 0;
    int32_t flaky = 0;           // among the passed
    int32_t stopped = 0;         // stopped by SpawnBench
    int32_t never = 0;           // never tried
    int32_t running = 0;         // a live run only
    int32_t retrying = 0;        // a live run only: failed, to be tried again
    int64_t tries = 0;           // that ran
    int64_t begin_epoch_ms = 0;  // the first try's start
    int64_t end_epoch_ms = 0;    // the last try's end
};
CampaignCounts campaign_counts(const CopyRecord* copies, int32_t count);

// --- The job log: GNU parallel's --joblog format, a line per try. ---

constexpr const char* kJobLogHeader =
    "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n";
constexpr int kTimedOutStatus = 124;     // as timeout(1) has it
constexpr int kStartFailedStatus = 127;  // as a shell reports a command it cannot run
constexpr int kStopSignal = 9;           // the Signal of a try that SpawnBench stopped

// One line of the job log for `attempt`, a try of `copy`, with its line feed.
// Its Seq is the copy's number plus one. A try stopped by SpawnBench has
// Exitval -1 and Signal 9; one stopped for its time-out, Exitval 124 and
// Signal 9; one that never ran, -1 and 0; one that could not start, 127 and 0
// with run time 0.
std::string joblog_line(const CopyRecord& copy, const TryRecord& attempt);

// The job log's Command field for `command`: control characters, which would
// break the columns, become '?'.
std::string joblog_command(const std::string& command);

// Reads the job log `text` (`name` is its file, for messages) of a campaign
// over `plan` with template `tmpl`, GNU parallel's own logs too. `copies`
// gets one record per copy of the plan, each line a try of its copy in the
// order of the file. False, with a one-line message, if `text` is not a job
// log, a line lacks its columns, or a line's Seq or Command is not the plan's.
bool read_joblog(const std::string& text, const std::string& name, const FleetPlan& plan,
                 const char* tmpl, std::vector<CopyRecord>* copies, std::string* error);

// The copies whose last try did not pass, or that have none: what a rerun
// takes on.
std::vector<int32_t> copies_to_rerun(const std::vector<CopyRecord>& copies);
