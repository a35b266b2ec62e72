#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

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

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
// ":" first: a missing value is reported apart from an unknown option.
const char kShortOptions[] = ":h";

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
    auto original = [&](const char* arg) -> const char* {
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == arg) return argv[i];
        }
        return arg;
    };
    args.push_back(nullptr);

    std::vector<const char*> plain;
    optind = 0;  // start afresh, also when called more than once
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, args.data(), kShortOptions, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'h':
                options->help = true;
                break;
            case ':':
            case '?': {
                // A long option, or a missing value, is always the element just
                // passed; an unknown short option is known by its letter only.
                const char* arg = c == ':' || optopt == 0
                                      ? original(args[static_cast<size_t>(optind - 1)])
                                      : nullptr;
                std::string name = arg != nullptr ? std::string(arg, std::strcspn(arg, "="))
                                                  : std::string("-") + static_cast<char>(optopt);
                *error = (c == ':' ? "option '" + printable(name.c_str()) + "' needs a value"
                                   : "unknown option '" + printable(name.c_str()) + "'") +
                         " (see SpawnBench --help)";
                return false;
            }
            default:
                break;
        }
    }
    for (int i = optind; i < argc; ++i) plain.push_back(original(args[static_cast<size_t>(i)]));
    if (options->help) return true;

    if (!plain.empty() && !parse_maximum(plain[0], &options->maximum)) {
        *error =
            "invalid maximum '" + printable(plain[0]) + "': expected a number from 1 to 2147483647";
        return false;
    }
    return true;
}

std::string options_usage() {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "usage: SpawnBench [options] [maximum]\n"
                  "Starts copies of %s over the total of indices in VORNCoreExTest.ini\n"
                  "(section Platform, keys total and seedID), at most `maximum` indices per\n"
                  "copy (default %d, from 1 to 2147483647). Press Enter to stop them.\n"
                  "\n"
                  "options:\n"
                  "  -h, --help  show this help and exit\n",
                  kCoreTestProgram, kDefaultMaximum);
    return text;
}
