#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    bool ok;
    LaunchOptions options;
    std::string error;
    std::string joblog;  // options.joblog points into the arguments, gone on return
    std::string copy;    // the same for options.copy
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "SpawnBench");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p{};
    p.ok = parse_options(static_cast<int>(args.size()), argv.data(), &p.options, &p.error);
    if (p.options.joblog != nullptr) p.joblog = p.options.joblog;
    p.options.joblog = nullptr;
    if (p.options.copy != nullptr) p.copy = p.options.copy;
    p.options.copy = nullptr;
    return p;
}

TEST(Options, FirstPlainArgumentIsTheMaximumWhereverOptionsStand) {
    EXPECT_EQ(parse({}).options.maximum, kDefaultMaximum);
    EXPECT_EQ(parse({"700", "5"}).options.maximum, 700);
    EXPECT_TRUE(parse({"700", "--help"}).options.help);
    EXPECT_TRUE(parse({"-h", "700"}).options.help);
    EXPECT_EQ(parse({"--", "-h"}).error,
              "invalid maximum '-h': expected a number from 1 to 2147483647");
}

TEST(Options, ReportOptionsStandAnywhere) {
    Parsed p = parse({"700", "--strict", "--joblog", "-5", "9"});
    EXPECT_TRUE(p.ok && p.options.strict);
    EXPECT_EQ(p.options.maximum, 700);
    EXPECT_EQ(p.joblog, "-5");
    p = parse({"--joblog=log", "-3", "300"});
    EXPECT_EQ(p.joblog, "log");
    EXPECT_FALSE(p.options.strict);
    EXPECT_EQ(p.error, "invalid maximum '-3': expected a number from 1 to 2147483647");
    EXPECT_EQ(parse({"5", "--joblog"}).error,
              "option '--joblog' needs a value (see SpawnBench --help)");
    EXPECT_EQ(parse({"--plan", "--strict"}).error,
              "--strict goes with a fleet run, not with --plan, --copy or --slurm");
    EXPECT_EQ(parse({"--plan", "--joblog=x"}).error,
              "--joblog goes with a run, --copy or --slurm, not with --plan, which starts nothing");
    EXPECT_TRUE(parse({"--copy=1-3", "--joblog=x"}).ok);
    EXPECT_TRUE(parse({"--slurm", "--joblog=x"}).ok);
}

TEST(Options, UsageErrorsNameWhatWasWrong) {
    // A negative number is a bad maximum, not an unknown option.
    EXPECT_EQ(parse({"-3"}).error, "invalid maximum '-3': expected a number from 1 to 2147483647");
    EXPECT_EQ(parse({"5", "-3"}).options.maximum, 5);
    EXPECT_EQ(parse({"-x"}).error, "unknown option '-x' (see SpawnBench --help)");
    EXPECT_EQ(parse({"--bogus=1", "5"}).error, "unknown option '--bogus' (see SpawnBench --help)");
    EXPECT_FALSE(parse({"--hel\n"}).ok);
    EXPECT_EQ(parse({"--hel\n"}).error.find('\n'), std::string::npos);
    // An option that takes no value, given one, is named as written.
    EXPECT_EQ(parse({"--plan=x"}).error, "option '--plan' takes no value (see SpawnBench --help)");
    EXPECT_EQ(parse({"--help=x"}).error, "option '--help' takes no value (see SpawnBench --help)");
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_EQ(parse({"--version=1"}).error,
              "option '--version' takes no value (see SpawnBench --help)");
    // Like --help, --version spares the maximum its checks.
    EXPECT_TRUE(parse({"--version", "0"}).options.version);
}

TEST(Options, ModesAndTheValuesThatFreezeAPlan) {
    Parsed copy = parse({"--copy", "3", "--total", "-5", "--seed-id=-7", "200"});
    ASSERT_TRUE(copy.ok) << copy.error;
    EXPECT_EQ(copy.options.mode, LaunchMode::kCopy);
    EXPECT_EQ(copy.copy, "3");
    EXPECT_EQ(copy.options.total, -5);
    EXPECT_EQ(copy.options.seed_id, "-7");
    EXPECT_EQ(copy.options.maximum, 200);
    EXPECT_EQ(parse({"--seed-id", ""}).options.seed_id, "");
    EXPECT_TRUE(parse({"--seed-id", ""}).options.has_seed_id);
    // Options after plain arguments, negative ones among them.
    Parsed late = parse({"7", "-9", "--slurm", "-4"});
    EXPECT_EQ(late.options.mode, LaunchMode::kSlurm);
    EXPECT_EQ(late.options.maximum, 7);

    EXPECT_EQ(parse({"--plan", "--copy=1"}).error, "--plan, --copy, --slurm and --report exclude each other");
    EXPECT_EQ(parse({"--copy"}).error, "option '--copy' needs a value (see SpawnBench --help)");
    EXPECT_EQ(parse({"--total=2147483648"}).error,
              "invalid total '2147483648': expected a whole number from -2147483648 to "
              "2147483647");
    EXPECT_EQ(parse({"--seed-id=1234567890123"}).error,
              "seed ID '1234567890123' is 13 characters long; at most 12 fit");
    // A line break would split the plan's lines and run in the Slurm script.
    EXPECT_EQ(parse({"--slurm", "--seed-id", "x\nid;#"}).error,
              "seed ID 'x?id;#' holds a control character");
}

}  // namespace
