// The stand-in as the launcher's tests see it: its lines, exit status and
// refusals.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string output;  // standard output and error together
};

Outcome run(const std::string& env, const std::string& args) {
    std::string command =
        "env VORNCORE_DELAY_MS=0 " + env + " " VORN_CORETEST_PATH " " + args + " 2>&1 </dev/null";
    Outcome r{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(CoreTest, ReportsItsRangeAtStartAndEnd) {
    Outcome r = run("", "02C4E67%05d 68 33 2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              "VORNCoreExTest copy 2: start indices 68-100 (33), first ID 02C4E6700068, last ID "
              "02C4E6700100\n"
              "VORNCoreExTest copy 2: done indices 68-100 (33), first ID 02C4E6700068, last ID "
              "02C4E6700100\n");
    r = run("VORNCORE_EXIT=3", "'' 2147483647 0 0");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.output,
              "VORNCoreExTest copy 0: start empty range at index 2147483647 (0)\n"
              "VORNCoreExTest copy 0: done empty range at index 2147483647 (0)\n");
    EXPECT_EQ(run("", "'' 2147483646 1 0").status, 0);
    // A negative share, as the launcher hands out for a small negative total.
    r = run("", "x 0 -5 0");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("start empty range at index 0 (0)"), std::string::npos) << r.output;
}

TEST(CoreTest, RefusesBadInputWithOneLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "x 0 1"},
        {"", "x 0 1 0 9"},
        {"", "%s 0 1 0"},
        {"", "x -1 1 0"},
        {"", "x 0 1 -1"},
        {"", "x ' 1' 1 0"},
        {"", "x 1x 1 0"},
        {"", "x 2147483648 0 0"},
        {"", "x 2147483647 1 0"},
        {"VORNCORE_DELAY_MS=abc", "x 0 1 0"},
        {"VORNCORE_HOLD_MS=-2", "x 0 1 0"},
        {"VORNCORE_EXIT=256", "x 0 1 0"},
        {"VORNCORE_CHILD=yes", "x 0 1 0"},
        {"VORNCORE_RECORD_DIR=/nonexistent", "x 0 1 0"},
    };
    for (const auto& [env, args] : cases) {
        Outcome r = run(env, args);
        EXPECT_EQ(r.status, 2) << env << " " << args;
        EXPECT_EQ(r.output.rfind("VORNCoreExTest.exe: ", 0), 0u) << r.output;
        EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << r.output;
    }
}

}  // namespace
