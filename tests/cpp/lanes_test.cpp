#include "common/lanes.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

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
  TaskLanes lanes;
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
  TaskLanes lanes;
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
    TaskLanes lanes;
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

// Runs `jobs` jobs that each wait until all have started: every job must get
// a helper of its own, kept or new. Returns whether they all ran.
bool run_jobs_side_by_side(int jobs) {
  std::atomic<int> started{0};
  std::atomic<int> done{0};
  for (int i = 0; i < jobs; ++i) {
    HelperThreads::run([&] {
      started.fetch_add(1);
      while (started.load() < jobs) std::this_thread::yield();
      done.fetch_add(1);
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (done.load() < jobs && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done.load() == jobs;
}

// Jobs given while the kept helpers are busy get new ones; the helpers kept
// after them serve the next jobs; a forked child, which has none of its
// parent's helpers, starts its own.
TEST(HelperThreadsTest, EveryJobRunsBesideTheOthersAlsoAfterAFork) {
  EXPECT_TRUE(run_jobs_side_by_side(4));
  EXPECT_TRUE(run_jobs_side_by_side(6));
#ifndef _WIN32
  const pid_t child = fork();
  if (child == 0) _exit(run_jobs_side_by_side(3) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

}  // namespace

}  // namespace vantorel
