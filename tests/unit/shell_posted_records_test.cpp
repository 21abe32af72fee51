#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "shell/posted_records.h"

namespace {

TEST(PostedRecords, ARecordIsTakenOnceAndOnlyIfItWasPosted) {
    PostedRecords records;
    int first = 0;
    int second = 0;
    records.add(&first);
    EXPECT_FALSE(records.take(&second)) << "never posted";
    EXPECT_FALSE(records.take(nullptr));
    EXPECT_TRUE(records.take(&first));
    EXPECT_FALSE(records.take(&first)) << "already taken";
    // The same address may come back from the heap for a later record.
    records.add(&first);
    EXPECT_TRUE(records.take(&first));
}

TEST(PostedRecords, PostersOnManyThreadsLoseNoRecord) {
    PostedRecords records;
    constexpr int THREADS = 4;
    constexpr int EACH = 2000;
    std::vector<std::unique_ptr<int[]>> blocks;
    for (int t = 0; t < THREADS; ++t) blocks.push_back(std::make_unique<int[]>(EACH));
    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < EACH; ++i) records.add(&blocks[t][i]);
        });
    for (auto& poster : posters) poster.join();
    int taken = 0;
    for (int t = 0; t < THREADS; ++t)
        for (int i = 0; i < EACH; ++i) taken += records.take(&blocks[t][i]);
    EXPECT_EQ(taken, THREADS * EACH);
}

} // namespace
