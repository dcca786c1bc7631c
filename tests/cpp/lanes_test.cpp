#include "native/common/lanes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vantorel {

namespace {

// Tasks of one lane run alone and in order; every task runs once.
TEST(TaskLanesTest, RunsEachLaneInOrderAndAlone) {
  constexpr size_t kLanes = 4;
  constexpr int kTasks = 400;
  std::vector<std::vector<int>> order(kLanes);
  std::vector<std::atomic<int>> inside(kLanes);
  std::atomic<bool> overlapped{false};
  TaskLanes lanes(3);
  for (int i = 0; i < kTasks; ++i) {
    const size_t lane = static_cast<size_t>(i) % kLanes;
    lanes.submit(lane, [&, lane, i] {
      if (inside[lane].fetch_add(1) != 0) overlapped = true;
      order[lane].push_back(i);
      inside[lane].fetch_sub(1);
    });
  }
  lanes.finish();
  EXPECT_FALSE(overlapped.load());
  for (size_t lane = 0; lane < kLanes; ++lane) {
    ASSERT_EQ(order[lane].size(), kTasks / kLanes);
    for (size_t k = 0; k < order[lane].size(); ++k) {
      EXPECT_EQ(order[lane][k], static_cast<int>(k * kLanes + lane));
    }
  }
  EXPECT_EQ(lanes.queued(), 0u);
}

// finish() rethrows a task's error once; the tasks after it on its lane are
// dropped unrun; the lanes stay usable.
TEST(TaskLanesTest, RethrowsATaskErrorOnceAndDropsWhatFollows) {
  TaskLanes lanes(3);
  std::atomic<int> ran{0};
  lanes.submit(0, [] { throw std::runtime_error("task"); });
  for (int i = 0; i < 100; ++i) lanes.submit(0, [&] { ran.fetch_add(1); });
  EXPECT_THROW(lanes.finish(), std::runtime_error);
  EXPECT_EQ(ran.load(), 0);
  lanes.submit(0, [&] { ran.fetch_add(1); });
  lanes.finish();
  EXPECT_EQ(ran.load(), 1);
}

// Destroyed with tasks still queued, the lanes drop them, but wait for the
// ones running, which may use what the caller destroys next.
TEST(TaskLanesTest, DestructionDropsQueuedTasksAndWaitsForRunningOnes) {
  std::atomic<int> ran{0};
  std::atomic<int> inside{0};
  {
    TaskLanes lanes(3);
    for (int i = 0; i < 1000; ++i) {
      lanes.submit(static_cast<size_t>(i) % 2, [&] {
        inside.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        ran.fetch_add(1);
        inside.fetch_sub(1);
      });
    }
  }
  EXPECT_EQ(inside.load(), 0);
  EXPECT_LE(ran.load(), 1000);
}

// With no helpers, the tasks wait for finish(), which runs them all on the
// calling thread.
TEST(TaskLanesTest, WithoutHelpersFinishRunsEverythingOnTheCaller) {
  TaskLanes lanes(0);
  std::vector<std::thread::id> ran_on;
  for (int i = 0; i < 10; ++i) {
    lanes.submit(static_cast<size_t>(i) % 3, [&] { ran_on.push_back(std::this_thread::get_id()); });
  }
  EXPECT_TRUE(ran_on.empty());
  lanes.finish();
  EXPECT_EQ(ran_on, std::vector<std::thread::id>(10, std::this_thread::get_id()));
}

}  // namespace

}  // namespace vantorel
