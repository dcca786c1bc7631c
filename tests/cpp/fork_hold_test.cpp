#include "native/sync/fork_hold.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "native/structures/id_alloc/id_alloc.h"
#include "native/structures/string_interner/string_interner.h"

namespace vantorel {
namespace {

// Forks while other threads take the id allocator's and the interner's
// locks over and over: each child must be able to take them in turn (a lock
// left held would hang it, until the alarm ends it).
TEST(ForkHoldTest, AChildTakesTheLocksOtherThreadsHeldAtTheFork) {
#ifdef _WIN32
  GTEST_SKIP() << "no fork";
#else
  // Made first, as the module's first uses make them under the interpreter
  // lock, which a fork holds: a fork during their construction is not covered.
  free_id(allocate_id());
  global_interner().intern("a name of the parent");
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  busy.emplace_back([&] {
    while (!stop) free_id(allocate_id());
  });
  busy.emplace_back([&] {
    for (int i = 0; !stop && i < 1000000; ++i)
      global_interner().intern("name " + std::to_string(i));
  });
  for (int k = 0; k < 20; ++k) {
    const pid_t child = fork();
    if (child == 0) {
      alarm(10);
      free_id(allocate_id());
      global_interner().intern("a name of the child");
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "fork " << k;
  }
  stop = true;
  for (std::thread& thread : busy) thread.join();
#endif
}

}  // namespace
}  // namespace vantorel
