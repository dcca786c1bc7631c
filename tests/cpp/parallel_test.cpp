#include "common/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace vantorel {
namespace {

TEST(RunInParallelTest, RunsEveryTaskOnce) {
  for (size_t count : {0, 1, 2, 37}) {
    std::vector<std::atomic<int>> runs(count);
    run_in_parallel(count, [&](size_t i) { runs[i].fetch_add(1); });
    for (const std::atomic<int>& run : runs) EXPECT_EQ(run.load(), 1);
  }
}

TEST(RunInParallelTest, RethrowsATaskError) {
  std::atomic<int> finished{0};
  EXPECT_THROW(run_in_parallel(8,
                               [&](size_t i) {
                                 if (i == 3) throw std::runtime_error("task 3");
                                 finished.fetch_add(1);
                               }),
               std::runtime_error);
  EXPECT_LE(finished.load(), 7);
}

}  // namespace
}  // namespace vantorel
