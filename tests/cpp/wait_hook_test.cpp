#include "native/sync/wait_hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "native/sync/poison_lock.h"

namespace vantorel {
namespace {

// Counts its runs; installed for the life of the test object.
class CountingHook : public WaitHook {
 public:
  CountingHook() : previous_(install_wait_hook(this)) {}
  ~CountingHook() { install_wait_hook(previous_); }
  void before_wait() override { ++runs; }
  int runs = 0;

 private:
  WaitHook* previous_;
};

TEST(WaitHookTest, RunsOnceBeforeTheFirstWaitOnly) {
  PoisonMutex<int> mutex(0);
  PoisonRwLock<int> table(0);
  CountingHook hook;
  *mutex.lock() += 1;
  EXPECT_EQ(*table.read(), 0);
  *table.write() += 1;
  EXPECT_EQ(hook.runs, 0);  // nothing had to wait

  std::atomic<bool> held{false};
  std::thread writer([&] {
    auto guard = table.write();
    auto other = mutex.lock();
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  while (!held) std::this_thread::yield();
  EXPECT_EQ(*table.read(), 1);  // waits for the writer, after running the hook
  EXPECT_EQ(*mutex.lock(), 1);  // the hook is spent: this wait runs nothing
  writer.join();
  EXPECT_EQ(hook.runs, 1);
}

}  // namespace
}  // namespace vantorel
