#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "output.h"
#include "schedule.h"

namespace {

// The argument as it can be shown on one line: control characters become '?'.
std::string printable(const char* text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

bool looks_negative(const char* arg) {
    return arg[0] == '-' && std::isdigit(static_cast<unsigned char>(arg[1]));
}

// The whole text must be a decimal number within 32 bits.
bool parse_whole_number(const char* text, int32_t* value) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || parsed < INT32_MIN ||
        parsed > INT32_MAX) {
        return false;
    }
    *value = static_cast<int32_t>(parsed);
    return true;
}

// Long-only options, numbered past every character.
// --help has one too: given a value, getopt names an option only by it.
enum : int {
    kPlan = 256,
    kCopy,
    kSlurm,
    kTotal,
    kSeedId,
    kJoblog,
    kStrict,
    kHelp,
    kOutput,
    kTag,
    kTimeout,
    kRetries,
    kOnly,
    kRerunFailed,
    kJunit,
    kVersion,
    kContain,
    kHtml,
    kReport,
    kMaxFailures,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"plan", no_argument, nullptr, kPlan},
    {"copy", required_argument, nullptr, kCopy},
    {"slurm", no_argument, nullptr, kSlurm},
    {"total", required_argument, nullptr, kTotal},
    {"seed-id", required_argument, nullptr, kSeedId},
    {"joblog", required_argument, nullptr, kJoblog},
    {"strict", no_argument, nullptr, kStrict},
    {"output", required_argument, nullptr, kOutput},
    {"tag", no_argument, nullptr, kTag},
    {"jobs", required_argument, nullptr, 'j'},
    {"timeout", required_argument, nullptr, kTimeout},
    {"retries", required_argument, nullptr, kRetries},
    {"only", required_argument, nullptr, kOnly},
    {"rerun-failed", required_argument, nullptr, kRerunFailed},
    {"junit", required_argument, nullptr, kJunit},
    {"version", no_argument, nullptr, kVersion},
    {"contain", no_argument, nullptr, kContain},
    {"html", required_argument, nullptr, kHtml},
    {"report", required_argument, nullptr, kReport},
    {"max-failures", required_argument, nullptr, kMaxFailures},
    {nullptr, 0, nullptr, 0},
};
bool takes_no_value(const std::string& name) {
    for (const option* o = kLongOptions; o->name != nullptr; ++o) {
        if (o->has_arg == no_argument && name == std::string("--") + o->name) return true;
    }
    return false;
}

// ":" first: a missing value is reported apart from an unknown option.
const char kShortOptions[] = ":hj:";

}  // namespace

bool parse_options(int argc, char** argv, LaunchOptions* options, std::string* error) {
    // getopt would take "-3" for an option. Such arguments get a stand-in
    // without the dash, found again by its address after getopt has permuted.
    std::vector<std::string> masks;
    masks.reserve(static_cast<size_t>(argc));
    std::vector<char*> args(argv, argv + argc);
    for (int i = 1; i < argc; ++i) {
        if (looks_negative(argv[i])) {
            masks.push_back(std::string("n") + argv[i]);
            args[static_cast<size_t>(i)] = masks.back().data();
        }
    }
    // getopt permutes `args`; the stand-ins are found by their place before.
    const std::vector<char*> unpermuted = args;
    auto original = [&](const char* arg) -> const char* {
        for (size_t i = 0; i < unpermuted.size(); ++i) {
            if (unpermuted[i] == arg) return argv[i];
        }
        return arg;
    };
    args.push_back(nullptr);

    // Only one mode per run.
    auto set_mode = [&](LaunchMode mode) {
        if (options->mode != LaunchMode::kRun && options->mode != mode) {
            *error = "--plan, --copy, --slurm and --report exclude each other";
            return false;
        }
        options->mode = mode;
        return true;
    };

    std::vector<const char*> plain;
    optind = 0;  // start afresh, also when called more than once
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, args.data(), kShortOptions, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'h':
            case kHelp:
                options->help = true;
                break;
            case kPlan:
                if (!set_mode(LaunchMode::kPlan)) return false;
                break;
            case kSlurm:
                if (!set_mode(LaunchMode::kSlurm)) return false;
                break;
            case kCopy:
                if (!set_mode(LaunchMode::kCopy)) return false;
                options->copy = original(optarg);
                break;
            case kTotal:
                if (!parse_whole_number(original(optarg), &options->total)) {
                    *error = "invalid total '" + printable(original(optarg)) +
                             "': expected a whole number from -2147483648 to 2147483647";
                    return false;
                }
                options->has_total = true;
                break;
            case kSeedId:
                options->seed_id = original(optarg);
                // Command lines are shown and run one a line, by --plan and in
                // the Slurm script's comments.
                if (printable(optarg) != optarg) {
                    *error = "seed ID '" + printable(optarg) + "' holds a control character";
                    return false;
                }
                if (options->seed_id.size() >= kTemplateSize) {
                    *error = "seed ID '" + printable(options->seed_id.c_str()) + "' is " +
                             std::to_string(options->seed_id.size()) +
                             " characters long; at most " + std::to_string(kTemplateSize - 1) +
                             " fit";
                    return false;
                }
                options->has_seed_id = true;
                break;
            case kJoblog:
                options->joblog = original(optarg);
                break;
            case kStrict:
                options->strict = true;
                break;
            case kOutput:
                options->output = original(optarg);
                if (!check_output_pattern(options->output, error)) return false;
                break;
            case kTag:
                options->tag = true;
                break;
            case 'j':
                if (!parse_whole_number(original(optarg), &options->jobs) || options->jobs < 1) {
                    *error = "invalid number of jobs '" + printable(original(optarg)) +
                             "': expected a whole number from 1 to 2147483647";
                    return false;
                }
                break;
            case kTimeout:
                if (!parse_timeout(original(optarg), &options->timeout_ms)) {
                    *error = "invalid time-out '" + printable(original(optarg)) +
                             "': expected seconds, a decimal number above 0 (2.5) of at most 30 "
                             "days";
                    return false;
                }
                break;
            case kRetries:
                if (!parse_whole_number(original(optarg), &options->retries) ||
                    options->retries < 0 || options->retries > kMaxRetries) {
                    *error = "invalid number of retries '" + printable(original(optarg)) +
                             "': expected a whole number from 0 to " + std::to_string(kMaxRetries);
                    return false;
                }
                break;
            case kOnly:
                options->only = original(optarg);
                break;
            case kRerunFailed:
                options->rerun_failed = original(optarg);
                break;
            case kJunit:
                options->junit = original(optarg);
                break;
            case kVersion:
                options->version = true;
                break;
            case kContain:
                options->contain = true;
                break;
            case kHtml:
                options->html = original(optarg);
                break;
            case kReport:
                if (!set_mode(LaunchMode::kReport)) return false;
                options->report = original(optarg);
                break;
            case kMaxFailures:
                if (!parse_whole_number(original(optarg), &options->max_failures) ||
                    options->max_failures < 1) {
                    *error = "invalid number of failures '" + printable(original(optarg)) +
                             "': expected a whole number from 1 to 2147483647";
                    return false;
                }
                break;
            case ':':
            case '?': {
                // A long option, or a missing value, is always the element just
                // passed; an unknown short option is known by its letter only.
                // A long option given a value it does not take comes back by
                // its number, past every character (as ':' from mingw-w64).
                const bool element = c == ':' || optopt == 0 || optopt > 0xff;
                const char* arg =
                    element ? original(args[static_cast<size_t>(optind - 1)]) : nullptr;
                std::string name = arg != nullptr ? std::string(arg, std::strcspn(arg, "="))
                                                  : std::string("-") + static_cast<char>(optopt);
                const std::string shown = "'" + printable(name.c_str()) + "'";
                if (arg != nullptr && name.size() < std::strlen(arg) && takes_no_value(name))
                    *error = "option " + shown + " takes no value";
                else if (c == ':')
                    *error = "option " + shown + " needs a value";
                else
                    *error = "unknown option " + shown;
                *error += " (see SpawnBench --help)";
                return false;
            }
            default:
                break;
        }
    }
    for (int i = optind; i < argc; ++i) plain.push_back(original(args[static_cast<size_t>(i)]));
    if (options->help || options->version) return true;

    if (!plain.empty() && !parse_maximum(plain[0], &options->maximum)) {
        *error =
            "invalid maximum '" + printable(plain[0]) + "': expected a number from 1 to 2147483647";
        return false;
    }
    const LaunchMode mode = options->mode;
    if (mode == LaunchMode::kReport) {
        // It reads a campaign's job log and starts nothing.
        if (options->joblog != nullptr || !options->output.empty() || options->tag ||
            options->jobs > 0 || options->timeout_ms > 0 || options->retries > 0 ||
            options->only != nullptr || options->rerun_failed != nullptr || options->contain ||
            options->max_failures > 0) {
            *error =
                "--report takes only --junit, --html, --strict, --total, --seed-id and the "
                "maximum";
            return false;
        }
        if (options->junit == nullptr && options->html == nullptr) {
            *error = "--report needs --junit FILE or --html FILE to write";
            return false;
        }
        return true;
    }
    if (mode != LaunchMode::kRun && options->strict) {
        *error = "--strict goes with a fleet run, not with --plan, --copy or --slurm";
        return false;
    }
    if (mode == LaunchMode::kPlan && options->joblog != nullptr) {
        *error =
            "--joblog goes with a run, --copy or --slurm, not with --plan, which starts nothing";
        return false;
    }
    if (!options->output.empty() && options->tag) {
        *error = "--output and --tag exclude each other";
        return false;
    }
    if (mode == LaunchMode::kPlan && (!options->output.empty() || options->tag)) {
        *error = "--output and --tag go with a run, not with --plan, which starts nothing";
        return false;
    }
    if (mode == LaunchMode::kSlurm && options->tag) {
        *error = "--tag does not go with --slurm: each task has an output file of its own";
        return false;
    }
    if ((mode == LaunchMode::kPlan || mode == LaunchMode::kCopy) &&
        (options->jobs > 0 || options->junit != nullptr)) {
        *error = "--jobs and --junit go with a fleet run or --slurm, not with --plan or --copy";
        return false;
    }
    if (mode != LaunchMode::kRun && (options->html != nullptr || options->max_failures > 0)) {
        // A Slurm task knows only its own copy, so none can stop the others.
        *error =
            "--html and --max-failures go with a fleet run, not with --plan, --copy or --slurm";
        return false;
    }
    if (mode == LaunchMode::kSlurm && options->junit != nullptr) {
        *error = "--junit goes with a fleet run, not with --slurm";
        return false;
    }
    if (mode == LaunchMode::kPlan && (options->timeout_ms > 0 || options->retries > 0)) {
        *error = "--timeout and --retries go with a run, not with --plan, which starts nothing";
        return false;
    }
    if (mode == LaunchMode::kCopy &&
        (options->only != nullptr || options->rerun_failed != nullptr)) {
        *error = "--only and --rerun-failed choose copies of a fleet, not with --copy";
        return false;
    }
    if (mode == LaunchMode::kPlan && options->contain) {
        *error = "--contain goes with a fleet run, --copy or --slurm, not with --plan";
        return false;
    }
    if (options->only != nullptr && options->rerun_failed != nullptr) {
        *error = "--only and --rerun-failed exclude each other";
        return false;
    }
    return true;
}

std::string options_usage() {
    char text[4096];
    std::snprintf(text, sizeof text,
                  "usage: SpawnBench [options] [maximum]\n"
                  "Starts copies of %s over the total of indices in VORNCoreExTest.ini\n"
                  "(section Platform, keys total and seedID), at most `maximum` indices per\n"
                  "copy (default %d, from 1 to 2147483647). Press Enter to stop them.\n"
                  "\n"
                  "options:\n"
                  "  -h, --help      show this help and exit\n"
                  "  --version       show the version and exit\n"
                  "  --plan          print each copy's command line, one a line; start nothing\n"
                  "  --copy LIST     run only these copies of the plan (3 or 3,7-9), one after\n"
                  "                  the other in the foreground, and end with the exit status\n"
                  "                  of the last that failed (128 + the signal's number if\n"
                  "                  killed); with --joblog, add their lines to FILE\n"
                  "  --slurm         print a batch script that runs the plan as a Slurm job\n"
                  "                  array: SpawnBench --slurm | sbatch\n"
                  "  --total N       take N as the total instead of the INI's\n"
                  "  --seed-id TEXT  take TEXT as the template instead of the INI's seedID\n"
                  "  --joblog FILE   log how each copy ended, one tab-separated line per\n"
                  "                  copy in GNU parallel's --joblog format\n"
                  "  --strict        exit with status 1 if a copy failed: it could not be\n"
                  "                  started, exited with a status other than 0, was killed\n"
                  "                  by a signal that SpawnBench did not send, or timed out\n"
                  "  --output PATTERN  send each copy's output to a file of its own: %%c is\n"
                  "                  the copy number, %%%% a percent sign (logs/copy-%%c.log)\n"
                  "  --tag           pass the copies' lines on, each behind its copy number\n"
                  "                  and a tab; exit status 141 if standard output closes\n"
                  "  -j, --jobs N    run at most N copies at once; the others wait their turn\n"
                  "  --timeout SECONDS  stop a copy that runs longer; it counts as failed\n"
                  "  --retries N     start a failed copy again, up to N more times (0-100)\n"
                  "  --only LIST     run only these copies of the plan, e.g. 3,7-9\n"
                  "  --rerun-failed FILE  run only the copies without a successful line in\n"
                  "                  the job log FILE, written by --joblog for this plan\n"
                  "  --junit FILE    write the results as JUnit XML for CI\n"
                  "  --html FILE     write the campaign as a page: a timeline of every try\n"
                  "  --max-failures N  once N copies have failed, start no more and stop\n"
                  "                  the rest\n"
                  "  --report FILE   write --junit and --html for the campaign in job log FILE\n"
                  "                  (all its reruns), starting nothing\n"
                  "  --contain       run the copies in a PID namespace that dies with\n"
                  "                  SpawnBench, even by kill -9 (they see their pids in it)\n",
                  kCoreTestProgram, kDefaultMaximum);
    return text;
}

std::string printable_argument(const char* text) { return printable(text); }
