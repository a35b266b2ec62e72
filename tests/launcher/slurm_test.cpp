// The batch script of --slurm for plans and lists of every size, against the
// cluster's MaxArraySize.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "modes.h"
#include "schedule.h"

namespace {

SlurmJob job_of(int32_t copies, int32_t max_array = kSlurmMaxArrayTasks) {
    SlurmJob job;
    job.program = "/opt/bin/SpawnBench";
    job.folder = "/runs/here";
    job.settings.total = copies;
    std::strcpy(job.settings.tmpl, "S%05d");
    job.maximum = 1;
    job.max_array = max_array;
    return job;
}

std::string script_of(const SlurmJob& job) {
    std::string script, error;
    EXPECT_TRUE(slurm_script(job, &script, &error)) << error;
    return script;
}

bool has_line(const std::string& script, const std::string& line) {
    return ("\n" + script).find("\n" + line + "\n") != std::string::npos;
}

// Each task's copies from a script's case table, in task order.
std::vector<std::string> task_lists(const std::string& script) {
    std::vector<std::string> lists;
    for (size_t at = script.find(") copies="); at != std::string::npos;
         at = script.find(") copies=", at + 1)) {
        size_t begin = at + 9;
        lists.push_back(script.substr(begin, script.find(" ;;", begin) - begin));
    }
    return lists;
}

TEST(SlurmGroups, ContiguousEvenAndWithinTheArray) {
    for (int32_t count : {1, 50, 1001, 1002, 2002, 100000}) {
        for (int32_t limit : {1, 50, 1001}) {
            FleetPlan groups = slurm_groups(count, limit);
            EXPECT_EQ(groups.count, count < limit ? count : limit);
            int32_t next = 0, shortest = count, longest = 0;
            for (int32_t t = 0; t < groups.count; ++t) {
                FleetCopy g = fleet_copy(groups, t);
                EXPECT_EQ(g.start, next);
                next += g.share;
                shortest = std::min(shortest, g.share);
                longest = std::max(longest, g.share);
            }
            EXPECT_EQ(next, count);
            EXPECT_LE(longest - shortest, 1);
        }
    }
    EXPECT_EQ(slurm_groups(0, 1001).count, 0);
}

TEST(SlurmScript, OneTaskPerCopyWhileTheArrayHoldsThem) {
    std::string one = script_of(job_of(1));
    EXPECT_TRUE(has_line(one, "#SBATCH --array=0-0"));
    EXPECT_TRUE(has_line(one, "# copy 0: VORNCoreExTest.exe S%05d 0 1 0"));
    EXPECT_TRUE(
        has_line(one, "copies=${SLURM_ARRAY_TASK_ID:?is not set: submit this script with sbatch}"));
    EXPECT_TRUE(has_line(one,
                         "exec '/opt/bin/SpawnBench' --copy \"${copies:?has no copies}\" "
                         "--total=1 --seed-id='S%05d' 1"));

    // Past a few dozen copies, one line says how to list them.
    SlurmJob full = job_of(1001);
    full.jobs = 4;
    full.joblog = "/runs/it's.log";
    std::string script = script_of(full);
    EXPECT_TRUE(has_line(script, "#SBATCH --array=0-1000%4"));
    EXPECT_EQ(script.find("# copy "), std::string::npos);
    EXPECT_TRUE(has_line(script,
                         "# The copies' command lines: '/opt/bin/SpawnBench' --plan "
                         "--total=1001 --seed-id='S%05d' 1"));
    EXPECT_NE(script.find(" --joblog='/runs/it'\\''s.log' 1\n"), std::string::npos);
}

TEST(SlurmScript, BigPlansRunInGroupsOfCopies) {
    SlurmJob job = job_of(1002);
    job.timeout_ms = 30000;
    job.retries = 1;
    std::string script = script_of(job);
    EXPECT_TRUE(has_line(script, "#SBATCH --array=0-1000"));
    // Task 0 runs copies 0-1, every other task one copy: 2 x 2 tries x 30 s.
    EXPECT_TRUE(has_line(script, "#SBATCH --time=2"));
    EXPECT_TRUE(has_line(script, "first=$((t * 1 + (t < 1 ? t : 1)))"));
    EXPECT_TRUE(has_line(script, "copies=$first-$((first + 1 - (t < 1 ? 0 : 1)))"));

    job = job_of(100000, 50);
    job.timeout_ms = 2000;
    job.retries = 1;
    job.output = "logs/%c.log";
    script = script_of(job);
    EXPECT_TRUE(has_line(script, "#SBATCH --array=0-49"));
    EXPECT_TRUE(has_line(script, "#SBATCH --time=134"));  // 2000 copies x 2 tries x 2 s
    EXPECT_TRUE(has_line(script, "first=$((t * 2000))"));
    EXPECT_TRUE(has_line(script, "copies=$first-$((first + 1999))"));
    // Each copy of a group has its own output file.
    EXPECT_EQ(script.find("#SBATCH --output"), std::string::npos);
    EXPECT_NE(script.find(" --output='logs/%c.log'"), std::string::npos);

    std::string biggest = script_of(job_of(100000));
    EXPECT_LE(biggest.size(), 64u * 1024);
    EXPECT_TRUE(has_line(biggest, "#SBATCH --array=0-1000"));
}

TEST(SlurmScript, IndexListsKeepTaskIdsBelowMaxArraySize) {
    SlurmJob job = job_of(5);
    job.copies = {1, 3, 4};
    job.jobs = 1;
    EXPECT_TRUE(has_line(script_of(job), "#SBATCH --array=1,3-4%1"));

    // Copy numbers past the array's ids run as tasks 0 and 1.
    job = job_of(100000);
    job.copies = {99990, 99999};
    std::string script = script_of(job);
    EXPECT_TRUE(has_line(script, "#SBATCH --array=0-1"));
    EXPECT_EQ(task_lists(script), (std::vector<std::string>{"99990", "99999"}));

    // Every third copy of 100 000, in 1001 groups that cover the list once.
    job.copies.clear();
    for (int32_t c = 0; c < 100000; c += 3) job.copies.push_back(c);
    script = script_of(job);
    EXPECT_TRUE(has_line(script, "#SBATCH --array=0-1000"));
    EXPECT_TRUE(has_line(script,
                         "# The copies' command lines: '/opt/bin/SpawnBench' --plan "
                         "--total=100000 --seed-id='S%05d' --only LIST 1"));
    std::vector<int32_t> all;
    for (const std::string& list : task_lists(script)) {
        std::vector<int32_t> group;
        std::string error;
        ASSERT_TRUE(parse_copy_list(list.c_str(), 100000, &group, &error)) << error;
        EXPECT_TRUE(group.size() == 33 || group.size() == 34) << list;
        all.insert(all.end(), group.begin(), group.end());
    }
    EXPECT_EQ(all, job.copies);
}

TEST(SlurmScript, RefusesOnlyWhatSlurmCannotTake) {
    std::string script, error;
    EXPECT_FALSE(slurm_script(job_of(0), &script, &error));
    EXPECT_EQ(error, "the plan has no copies, so there is nothing to submit");
    EXPECT_FALSE(slurm_script(job_of(10, 0), &script, &error));
    EXPECT_EQ(error, "this Slurm cluster takes no job arrays (MaxArraySize=0)");
    // A time limit beyond what Slurm counts asks for none.
    SlurmJob job = job_of(2000000000, 1);
    job.timeout_ms = 30LL * 24 * 3600 * 1000;
    job.retries = 100;
    EXPECT_TRUE(has_line(script_of(job), "#SBATCH --time=UNLIMITED"));

    int32_t size = 0;
    EXPECT_TRUE(parse_max_array_size("MaxArraySize            = 50\nMaxJobCount = 10000\n", &size));
    EXPECT_EQ(size, 50);
    EXPECT_FALSE(parse_max_array_size("MaxJobCount = 10000\n", &size));
}

}  // namespace
