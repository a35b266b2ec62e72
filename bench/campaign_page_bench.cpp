// The campaign page of a large campaign:
//   write - campaign_page over N tries, and the page's size per try;
//   draw  - the page opened from its file in a fresh headless Chromium, from
//           the navigation's start to the first painted frame of its
//           timeline, as the page marks it (bench/campaign_page_draw.py).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_flags.h"
#include "html.h"
#include "plan.h"
#include "record.h"

namespace {

int32_t g_tries = 100000;
constexpr int32_t kJobs = 4;

// A campaign of `tries` tries on kJobs slots: run times of 2 to 12 s, every
// 50th copy flaky (a failure, then a pass), every 97th failed, every 500th
// timed out, each copy with its output file.
CampaignRecord make_campaign(int32_t tries) {
    CampaignRecord campaign;
    campaign.jobs = kJobs;
    std::vector<int64_t> free_at(kJobs, 1765339200000);
    uint32_t random = 12345;
    char command[kCommandLineSize];
    for (int32_t c = 0, made = 0; made < tries; ++c) {
        CopyRecord copy;
        copy.copy = c;
        copy.first = c * 10;
        copy.share = 10;
        fleet_command_line(command, sizeof command, kDefaultTemplate, {copy.first, copy.share}, c);
        copy.command = command;
        copy.output = "logs/copy-" + std::to_string(c) + ".log";
        copy.host = ":";
        int32_t count = c % 50 == 49 && made + 1 < tries ? 2 : 1;
        for (int32_t t = 0; t < count; ++t, ++made) {
            random = random * 1103515245u + 12345u;
            TryRecord attempt;
            size_t slot = 0;
            for (size_t s = 1; s < free_at.size(); ++s)
                if (free_at[s] < free_at[slot]) slot = s;
            attempt.start_epoch_ms = free_at[slot];
            attempt.runtime_ms = 2000 + (random >> 8) % 10000;
            attempt.outcome = TryOutcome::kExited;
            if (count == 2 && t == 0) attempt.code = 1;
            if (c % 97 == 96) attempt.code = 3;
            if (c % 500 == 499) {
                attempt.outcome = TryOutcome::kTimedOut;
                attempt.runtime_ms = attempt.timeout_ms = 12000;
            }
            free_at[slot] += attempt.runtime_ms + 3;
            copy.tries.push_back(attempt);
        }
        campaign.copies.push_back(copy);
    }
    return campaign;
}

void BM_Write(benchmark::State& state) {
    const int32_t tries = static_cast<int32_t>(state.range(0));
    CampaignRecord campaign = make_campaign(tries);
    size_t size = 0;
    for (auto _ : state) {
        std::string page = campaign_page(campaign);
        size = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["page_MiB"] = static_cast<double>(size) / (1 << 20);
    state.counters["bytes_per_try"] = static_cast<double>(size) / tries;
}

void BM_Draw(benchmark::State& state) {
    const int32_t tries = static_cast<int32_t>(state.range(0));
    char dir[] = "/tmp/campaign-page-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(dir) + "/campaign.html";
    const std::string page = campaign_page(make_campaign(tries));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(page.data(), 1, page.size(), file) == page.size();
    if (file != nullptr) written = std::fclose(file) == 0 && written;
    const std::string command =
        std::string("/usr/bin/python3 " CAMPAIGN_PAGE_DRAW " ") + path + " </dev/null";
    for (auto _ : state) {
        std::FILE* pipe = written ? popen(command.c_str(), "r") : nullptr;
        double ms = -1;
        if (pipe != nullptr) {
            if (std::fscanf(pipe, "%lf", &ms) != 1) ms = -1;
            if (pclose(pipe) != 0) ms = -1;
        }
        if (ms < 0) {
            state.SkipWithError("the page could not be drawn in Chromium");
            break;
        }
        state.SetIterationTime(ms / 1000.0);
    }
    std::remove(path.c_str());
    rmdir(dir);
    state.counters["bytes_per_try"] = static_cast<double>(page.size()) / tries;
}

}  // namespace

int main(int argc, char** argv) {
    // --page FILE [TRIES]: only writes the page, to look at.
    if ((argc == 3 || argc == 4) && std::string(argv[1]) == "--page") {
        if (argc == 4) g_tries = std::max(1, std::atoi(argv[3]));
        const std::string page = campaign_page(make_campaign(g_tries));
        std::FILE* file = std::fopen(argv[2], "wb");
        bool written =
            file != nullptr && std::fwrite(page.data(), 1, page.size(), file) == page.size();
        if (file == nullptr || std::fclose(file) != 0 || !written) {
            std::perror(argv[2]);
            return 1;
        }
        return 0;
    }
    // --smoke: a small page, to check that it all runs.
    if (bench::take_flag(&argc, argv, "--smoke")) g_tries = 2000;
    benchmark::RegisterBenchmark("page/write", BM_Write)
        ->Arg(g_tries)
        ->Unit(benchmark::kMillisecond);
    // A fresh browser for every try: one opening per iteration.
    benchmark::RegisterBenchmark("page/draw", BM_Draw)
        ->Arg(g_tries)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
