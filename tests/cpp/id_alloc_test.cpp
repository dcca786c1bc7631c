#include "native/structures/id_alloc/id_alloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

namespace vantorel {
namespace {

size_t live_ids() {
  return ids_issued() - free_id_count();
}

// The allocation sequence of a fresh process, printed for the death test.
void print_fresh_sequence_and_exit() {
  uint32_t a = allocate_id(), b = allocate_id(), c = allocate_id();
  free_id(2);
  free_id(3);
  uint32_t d = allocate_id(), e = allocate_id(), f = allocate_id();
  free_ids({4, 1, 3});  // given back highest first: handed out lowest first
  uint32_t g = allocate_id(), h = allocate_id();
  std::fprintf(stderr, "ids %u %u %u %u %u %u %u %u issued %u\n", a, b, c, d, e, f, g, h,
               ids_issued());
  std::exit(0);
}

// Runs in a freshly started copy of the test binary, so the process-wide
// counter starts at 1 whatever other tests did before.
TEST(IdAllocDeathTest, FreshProcessCountsFromOneAndReusesLastFreedFirst) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(print_fresh_sequence_and_exit(), ::testing::ExitedWithCode(0),
              "ids 1 2 3 3 2 4 1 3 issued 4");
}

TEST(IdAlloc, ConcurrentAllocationsAreUniqueAndNothingLeaks) {
  const size_t live_before = live_ids();
  constexpr int kThreads = 8, kPerThread = 3000;
  std::vector<std::vector<uint32_t>> held(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&mine = held[t]] {
      // Churn: alternate allocations with frees of our own ids, so that the
      // free list is hit from all threads at once.
      for (int i = 0; i < kPerThread; ++i) {
        mine.push_back(allocate_id());
        if (i % 3 == 2) {
          free_id(mine[mine.size() - 2]);
          mine.erase(mine.end() - 2);
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  std::set<uint32_t> all;
  size_t total = 0;
  for (const auto& mine : held) {
    total += mine.size();
    all.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(all.size(), total) << "an id was handed to two holders";
  EXPECT_EQ(all.count(0), 0u);
  EXPECT_EQ(live_ids(), live_before + total);

  for (const auto& mine : held) {
    for (uint32_t id : mine) free_id(id);
  }
  EXPECT_EQ(live_ids(), live_before);
}

}  // namespace
}  // namespace vantorel
