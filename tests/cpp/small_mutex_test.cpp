#include "native/sync/small_mutex.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace vantorel {
namespace {

// Threads that take turns through lock() and try_lock() lose no increment,
// and waiters sleeping in lock() are woken by every kind of unlock.
TEST(SmallMutexTest, ExcludesAcrossThreads) {
  SmallMutex mutex;
  long counter = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (t % 2 == 0) {
          std::lock_guard<SmallMutex> hold(mutex);
          ++counter;
        } else {
          while (!mutex.try_lock()) std::this_thread::yield();
          ++counter;
          mutex.unlock();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_TRUE(mutex.try_lock());
  EXPECT_FALSE(mutex.try_lock());
  mutex.unlock();
}

}  // namespace
}  // namespace vantorel
