// A test fixture for runs of the real SpawnBench: a folder to run it in, a
// folder for the stand-in's records, and the checks that nothing it started
// survives.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "spawnbench_run.h"
#include "temp_dir.h"

namespace spawnbench_test {

// The folders alone, for fleets whose processes are checked another way.
class FleetFolders : public ::testing::Test {
protected:
    void SetUp() override {
        records_ = dir_.file("records");
        work_ = dir_.file("work");
        mkdir(records_.c_str(), 0755);
        mkdir(work_.c_str(), 0755);
    }

    // Every copy and every child of a copy, as the stand-in recorded them.
    std::vector<pid_t> recorded_pids() const {
        std::vector<pid_t> pids = read_child_pids(records_);
        for (const Record& r : read_records(records_)) pids.push_back(r.pid);
        return pids;
    }

    testsupport::TempDir dir_;
    std::string records_, work_;
};

class FleetFolder : public FleetFolders {
protected:
    void SetUp() override {
        adopt_orphans();
        FleetFolders::SetUp();
    }

    // A test that failed early may have left processes to us; end them.
    void TearDown() override { no_children_left(recorded_pids()); }

    // Neither a copy, nor a child a copy started, nor a zombie of either.
    void expect_nothing_survives() const {
        std::vector<pid_t> pids = recorded_pids();
        EXPECT_TRUE(all_gone(pids));
        EXPECT_TRUE(no_children_left(pids)) << "a process or zombie was left to the test";
    }
};

}  // namespace spawnbench_test
