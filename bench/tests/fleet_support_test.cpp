// The helpers the benchmarks rely on for their figures and their clean-up.
#include "fleet_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bench_data.h"

extern char** environ;

namespace {

pid_t spawn(const std::vector<const char*>& args) {
    std::vector<char*> argv;
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

TEST(FleetWords, FollowTheLaunchersCommandLines) {
    std::vector<std::vector<std::string>> lines = bench::fleet_words(3, "T%d");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (std::vector<std::string>{"VORNCoreExTest.exe", "T%d", "0", "1", "0"}));
    EXPECT_EQ(lines[2], (std::vector<std::string>{"VORNCoreExTest.exe", "T%d", "2", "1", "2"}));
}

TEST(FleetWords, NoCopiesGiveNoLines) { EXPECT_TRUE(bench::fleet_words(0, "T").empty()); }

TEST(LinePipe, CountsLinesAndKeepsThem) {
    bench::LinePipe p;
    ASSERT_TRUE(bench::line_pipe_open(&p));
    const char text[] = "one\ntwo\nthr";
    ASSERT_EQ(write(p.write_fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    std::vector<std::string> kept;
    EXPECT_TRUE(bench::line_pipe_wait(&p, 2, 10000, &kept));
    EXPECT_EQ(p.lines, 2);
    EXPECT_EQ(kept, (std::vector<std::string>{"one", "two"}));
    bench::line_pipe_close(&p);
}

TEST(LinePipe, EndOfInputBeforeTheCountFails) {
    bench::LinePipe p;
    ASSERT_TRUE(bench::line_pipe_open(&p));
    ASSERT_EQ(write(p.write_fd, "a\n", 2), 2);
    close(p.write_fd);
    p.write_fd = -1;
    EXPECT_FALSE(bench::line_pipe_wait(&p, 2, 10000));
    EXPECT_EQ(p.lines, 1);
    bench::line_pipe_close(&p);
}

TEST(LinePipe, SilenceFailsAfterTheTimeout) {
    bench::LinePipe p;
    ASSERT_TRUE(bench::line_pipe_open(&p));
    EXPECT_FALSE(bench::line_pipe_wait(&p, 1, 50));
    bench::line_pipe_close(&p);
}

TEST(RedirectStdout, ChildrenStartedMeanwhileWriteToThePipe) {
    bench::LinePipe p;
    ASSERT_TRUE(bench::line_pipe_open(&p));
    int saved = bench::redirect_stdout(p.write_fd);
    ASSERT_GE(saved, 0);
    pid_t pid = spawn({"/bin/echo", "hello"});
    bench::restore_stdout(saved);
    ASSERT_GT(pid, 0);
    std::vector<std::string> kept;
    EXPECT_TRUE(bench::line_pipe_wait(&p, 1, 10000, &kept));
    EXPECT_EQ(kept, std::vector<std::string>{"hello"});
    waitpid(pid, nullptr, 0);
    bench::line_pipe_close(&p);
}

TEST(StrayChildren, NoneLeftCountsZero) { EXPECT_EQ(bench::stray_children(), 0); }

TEST(StrayChildren, KillsAndReapsARunningChild) {
    pid_t pid = spawn({"/bin/sleep", "100"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(bench::stray_children(), 1);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(StrayChildren, CatchesAnOrphanedGrandchild) {
    bench::become_subreaper();
    pid_t shell = spawn({"/bin/sh", "-c", "sleep 100 & exit 0"});
    ASSERT_GT(shell, 0);
    ASSERT_EQ(waitpid(shell, nullptr, 0), shell);
    EXPECT_EQ(bench::stray_children(), 1);
    EXPECT_EQ(bench::stray_children(), 0);
}

TEST(BenchData, IsTheSameOnEveryCallAndExactlySized) {
    for (bench::DataKind kind : {bench::DataKind::kText, bench::DataKind::kMixed,
                                 bench::DataKind::kRandom, bench::DataKind::kCode}) {
        std::vector<uint8_t> a = bench::make_data(kind, 100000);
        EXPECT_EQ(a.size(), 100000u) << bench::data_kind_name(kind);
        EXPECT_EQ(a, bench::make_data(kind, 100000)) << bench::data_kind_name(kind);
    }
}

uLong compressed_size(const std::vector<uint8_t>& data) {
    uLongf n = compressBound(data.size());
    std::vector<uint8_t> out(n);
    return compress2(out.data(), &n, data.data(), data.size(), Z_DEFAULT_COMPRESSION) == Z_OK ? n
                                                                                              : 0;
}

TEST(BenchData, KindsCompressAsTheirNamesSay) {
    size_t size = 1 << 20;
    uLong text = compressed_size(bench::make_data(bench::DataKind::kText, size));
    uLong mixed = compressed_size(bench::make_data(bench::DataKind::kMixed, size));
    uLong random = compressed_size(bench::make_data(bench::DataKind::kRandom, size));
    uLong code = compressed_size(bench::make_data(bench::DataKind::kCode, size));
    EXPECT_GT(text, 0u);
    EXPECT_LT(text, size / 2);
    EXPECT_GT(mixed, text);
    EXPECT_LT(mixed, size * 3 / 4);
    EXPECT_GE(random, size);
    EXPECT_GT(code, size * 2 / 5);
    EXPECT_LT(code, size * 2 / 3);
}

}  // namespace
