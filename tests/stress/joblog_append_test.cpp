// Many processes adding to one job log at once, as the tasks of a cluster do:
// every line arrives whole and once, under one header.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "joblog.h"
#include "record.h"
#include "temp_dir.h"
#include "vorn_append.h"

namespace {

constexpr int kWriters = 200;

// Runs `work(i)` in kWriters processes, released together once all exist;
// true if each exits 0.
bool at_once(const std::function<int(int)>& work) {
    int gate[2];
    if (pipe(gate) != 0) return false;
    std::vector<pid_t> writers;
    for (int i = 0; i < kWriters; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) < 0) {
            }
            _exit(work(i));
        }
        if (pid > 0) writers.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);  // the gate opens: every read ends
    bool all = writers.size() == static_cast<size_t>(kWriters);
    for (pid_t pid : writers) {
        int status = 0;
        all =
            waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && all;
    }
    return all;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t begin = 0, end; begin < text.size(); begin = end + 1) {
        end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
}

TEST(JobLogAppend, LongLinesFromManyProcessesArriveWholeUnderOneHeader) {
    testsupport::TempDir dir;
    const std::string path = dir.file("campaign.log");
    // Commands from 0 to 4 KiB, each line telling its own length.
    auto line_of = [](int i) {
        CopyRecord copy;
        copy.copy = i;
        copy.command = std::string(static_cast<size_t>(i) * 4096 / (kWriters - 1),
                                   static_cast<char>('a' + i % 26));
        TryRecord attempt;
        attempt.outcome = TryOutcome::kExited;
        return joblog_line(copy, attempt);
    };
    ASSERT_TRUE(at_once([&](int i) {
        std::string line = line_of(i);
        return util_append_locked(path.c_str(), kJobLogHeader, line.data(), line.size()) == 0 ? 0
                                                                                              : 1;
    }));
    std::vector<std::string> lines = lines_of(testsupport::read_file(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters) + 1);
    EXPECT_EQ(lines[0] + "\n", kJobLogHeader);
    std::set<std::string> expected, found(lines.begin() + 1, lines.end());
    for (int i = 0; i < kWriters; ++i) {
        std::string line = line_of(i);
        line.pop_back();
        expected.insert(line);
    }
    EXPECT_TRUE(found == expected);

    // A file of something else is left as it is.
    const std::string other = dir.file("other.txt");
    testsupport::write_file(other, "Seq\tHost\n");
    EXPECT_EQ(util_append_locked(other.c_str(), kJobLogHeader, "x\n", 2), UTIL_APPEND_FOREIGN);
    EXPECT_EQ(testsupport::read_file(other), "Seq\tHost\n");
}

TEST(JobLogAppend, ManyCopyProcessesShareOneJobLog) {
    testsupport::TempDir dir;
    testsupport::write_file(dir.file("VORNCoreExTest.ini"),
                            "[Platform]\ntotal=" + std::to_string(kWriters) + "\nseedID=A%05d\n");
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    setenv("VORNCORE_DELAY_MS", "0", 1);
    setenv("VORNCORE_HOLD_MS", "0", 1);
    ASSERT_TRUE(at_once([](int i) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::string copy = std::to_string(i);
        execl(SPAWNBENCH_PATH, "SpawnBench", "--copy", copy.c_str(), "--joblog", "campaign.log",
              "1", static_cast<char*>(nullptr));
        return 127;
    }));
    std::vector<testsupport::Row> rows =
        testsupport::joblog_outcomes(testsupport::read_file(dir.file("campaign.log")));
    ASSERT_EQ(rows.size(), static_cast<size_t>(kWriters) + 1);
    EXPECT_EQ(rows[0][0], "Seq");
    std::set<int> seqs;
    for (size_t n = 1; n < rows.size(); ++n) {
        ASSERT_EQ(rows[n].size(), 4u) << rows[n][0];
        int copy = std::stoi(rows[n][0]) - 1;
        seqs.insert(copy);
        EXPECT_EQ(rows[n][3], "VORNCoreExTest.exe A%05d " + std::to_string(copy) + " 1 " +
                                  std::to_string(copy));
    }
    EXPECT_EQ(seqs.size(), static_cast<size_t>(kWriters));
}

}  // namespace
