// Kept apart from the other tests so it can be built and run alone under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mevz_test_data.h"

using namespace mevz_test;

namespace {

TEST(MevzThreads, ConcurrentCallsGiveTheSameResultsAsSerialOnes) {
    struct Case {
        Bytes source;
        Bytes stream;
    };
    std::vector<Case> cases;
    uint32_t seed = 1;
    for (Kind kind : {Kind::Random, Kind::Text, Kind::Zeros})
        for (size_t size : {0, 1, 1000, 16385, 200000})
            cases.push_back({make_data(kind, size, seed++), {}});
    for (Case& c : cases) {
        c.stream = compressed(c.source);
        ASSERT_FALSE(c.stream.empty());
    }

    constexpr int kThreads = 8, kRounds = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&cases, &failures, t] {
            for (int round = 0; round < kRounds; ++round) {
                // Each thread walks the cases from a different start so that
                // different sizes and kinds overlap in time.
                for (size_t i = 0; i < cases.size(); ++i) {
                    const Case& c = cases[(i + static_cast<size_t>(t)) % cases.size()];
                    if (compressed(c.source) != c.stream) ++failures;
                    Bytes back(c.source.size());
                    if (uncompress_into(c.stream, back) != size32(c.source) || back != c.source)
                        ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
