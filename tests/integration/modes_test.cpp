// The plan as lines, one copy in the foreground, and the batch script that
// freezes the plan, without a cluster.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "fleet_folder.h"
#include "joblog.h"
#include "spawnbench_run.h"
#include "temp_dir.h"

namespace {

using namespace spawnbench_test;
using Lines = std::vector<std::string>;

constexpr milliseconds kPatience{15000};

class Modes : public FleetFolder {
protected:
    void SetUp() override {
        FleetFolder::SetUp();
        testsupport::write_file(work_ + "/VORNCoreExTest.ini",
                                "[Platform]\ntotal=101\nseedID=Q'$x\"%03d\n");
    }

    RunOptions options(const std::vector<std::string>& args) {
        RunOptions o;
        o.program = SPAWNBENCH_PATH;
        o.args = args;
        o.folder = work_;
        o.env = {"VORNCORE_RECORD_DIR=" + records_, "VORNCORE_DELAY_MS=0", "VORNCORE_HOLD_MS=0"};
        return o;
    }

    // Runs to the end and returns standard output's lines.
    Lines output_lines(const RunOptions& o, int expected_status = 0) {
        SpawnBenchRun run(o);
        EXPECT_EQ(run.wait(kPatience), expected_status) << run.err();
        std::istringstream in(run.out());
        Lines lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // Each recorded copy's arguments, as one line.
    static Lines recorded_lines(const std::string& folder) {
        Lines lines;
        for (const Record& r : read_records(folder)) {
            std::string line;
            for (const std::string& word : r.argv) line += (line.empty() ? "" : " ") + word;
            lines.push_back(line);
        }
        return lines;
    }
};

TEST_F(Modes, PlanPrintsTheLinesARunStarts) {
    Lines plan = output_lines(options({"--plan", "50"}));
    EXPECT_EQ(plan.size(), 3u);
    EXPECT_TRUE(read_records(records_).empty());

    RunOptions run = options({"50"});
    run.env.push_back("VORNCORE_HOLD_MS=-1");
    SpawnBenchRun fleet(run);
    ASSERT_TRUE(wait_for_records(records_, 3, kPatience));
    fleet.press_enter();
    EXPECT_EQ(fleet.wait(kPatience), 0);
    EXPECT_EQ(recorded_lines(records_), plan);
}

TEST_F(Modes, CopyRunsOneCopyAndEndsWithItsStatus) {
    RunOptions o = options({"--copy", "1", "50"});
    o.env.push_back("VORNCORE_EXIT=3");
    output_lines(o, 3);
    EXPECT_EQ(recorded_lines(records_), Lines{"VORNCoreExTest.exe Q'$x\"%03d 34 34 1"});
    expect_nothing_survives();

    SpawnBenchRun outside(options({"--copy", "3", "50"}));
    EXPECT_EQ(outside.wait(kPatience), 2);
    EXPECT_EQ(outside.err(), "SpawnBench: copy 3 is not in the plan, which has copies 0 to 2\n");
}

TEST_F(Modes, CopyPassesSigtermOnAndLeavesNothing) {
    RunOptions o = options({"--copy", "0", "50"});
    o.env.push_back("VORNCORE_HOLD_MS=-1");
    o.env.push_back("VORNCORE_CHILD=1");
    SpawnBenchRun run(o);
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (read_child_pids(records_).empty() && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(read_child_pids(records_).size(), 1u);
    run.send_signal(SIGTERM);
    EXPECT_EQ(run.wait(kPatience), 128 + SIGTERM);
    expect_nothing_survives();
}

TEST_F(Modes, CopyTriesAgainTimesOutAndKeepsItsOutputApart) {
    // Its first try fails, the second passes; lines come tagged.
    RunOptions o = options({"--copy", "1", "--retries", "1", "--tag", "50"});
    o.env.push_back("VORNCORE_FAIL_TRIES=1");
    Lines lines = output_lines(o, 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "1\tVORNCoreExTest copy 1: failing this try on purpose");
    EXPECT_EQ(lines[1].rfind("1\tVORNCoreExTest copy 1: start ", 0), 0u) << lines[1];
    // A hanging copy is stopped at its time-out, into its own file.
    o = options({"--copy", "2", "--timeout", "0.3", "--output", "copy-%c.log", "50"});
    o.env.push_back("VORNCORE_HOLD_MS=-1");
    SpawnBenchRun run(o);
    EXPECT_EQ(run.wait(kPatience), 124);
    EXPECT_EQ(run.err(), "SpawnBench: copy 2 timed out after 0.3 s\n");
    EXPECT_EQ(
        testsupport::read_file(work_ + "/copy-2.log").rfind("VORNCoreExTest copy 2: start", 0), 0u);
    expect_nothing_survives();
}

TEST_F(Modes, SlurmScriptFreezesThePlanAndNamesTheFolder) {
    Lines plan = output_lines(options({"--plan", "50"}));
    Lines script = output_lines(options({"50", "--slurm"}));
    ASSERT_FALSE(script.empty());
    std::string path = dir_.file("job.sh");
    std::string text;
    for (const std::string& line : script) text += line + "\n";
    testsupport::write_file(path, text);

    // Run task 2 from elsewhere, after the INI has changed: the copy still
    // runs in the folder and with the plan of submission, which a relative
    // record folder shows.
    testsupport::write_file(work_ + "/VORNCoreExTest.ini", "[Platform]\ntotal=7\nseedID=X\n");
    mkdir((work_ + "/relative").c_str(), 0755);
    RunOptions task = options({path});
    task.program = "/bin/sh";
    task.folder = dir_.path();
    task.env = {"SLURM_ARRAY_TASK_ID=2", "VORNCORE_RECORD_DIR=relative", "VORNCORE_DELAY_MS=0"};
    output_lines(task);
    EXPECT_EQ(recorded_lines(work_ + "/relative"), Lines{plan[2]});

    // A plan bigger than an array runs in groups, each task's copies adding
    // their lines to the job log that --slurm started. Without scontrol, the
    // default MaxArraySize: 1001 tasks.
    testsupport::write_file(work_ + "/VORNCoreExTest.ini",
                            "[Platform]\ntotal=1002\nseedID=S%05d\n");
    testsupport::write_file(work_ + "/campaign.log", "stale\n");
    RunOptions big = options({"--slurm", "--joblog", "campaign.log", "1"});
    big.env.push_back("PATH=/nonexistent");
    text.clear();
    for (const std::string& line : output_lines(big)) text += line + "\n";
    EXPECT_NE(text.find("#SBATCH --array=0-1000\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" --joblog='" + work_ + "/campaign.log' "), std::string::npos) << text;
    EXPECT_EQ(testsupport::read_file(work_ + "/campaign.log"),
              "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n");
    testsupport::write_file(path, text);
    for (const char* id : {"0", "1000"}) {
        task.env = {std::string("SLURM_ARRAY_TASK_ID=") + id, "VORNCORE_DELAY_MS=0",
                    "VORNCORE_HOLD_MS=0"};
        output_lines(task);
    }
    std::vector<testsupport::Row> rows =
        testsupport::joblog_outcomes(testsupport::read_file(work_ + "/campaign.log"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1], (testsupport::Row{"1", "0", "0", "VORNCoreExTest.exe S%05d 0 1 0"}));
    EXPECT_EQ(rows[2][0], "2");
    EXPECT_EQ(rows[3][0], "1002");
}

}  // namespace
