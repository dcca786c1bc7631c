// SmallMutex: a one-byte mutex for locks that are almost never contended,
// such as the per-object attribute store and membership list.
//
// Taking and releasing a free SmallMutex is one atomic exchange each, about a
// third of what a pthread mutex costs, and it is one byte instead of forty,
// which matters for locks kept per object. A thread that finds it taken
// sleeps in the atomic wait of the standard library (a futex on Linux) and is
// woken by the unlock, so a long hold does not make waiters spin. Not
// recursive; satisfies the standard Lockable requirements. Pure C++.
#pragma once

#include <atomic>
#include <cstdint>

namespace vantorel {

class SmallMutex {
 public:
  SmallMutex() = default;
  SmallMutex(const SmallMutex&) = delete;
  SmallMutex& operator=(const SmallMutex&) = delete;

  bool try_lock() noexcept {
    uint8_t expected = kFree;
    return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void lock() noexcept {
    if (try_lock()) return;
    // From here on the lock is marked as having waiters, so that the holder's
    // unlock wakes one; a thread that takes it this way keeps the mark, which
    // costs at most one needless wake.
    while (state_.exchange(kLockedWithWaiters, std::memory_order_acquire) != kFree) {
      state_.wait(kLockedWithWaiters, std::memory_order_relaxed);
    }
  }

  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kLockedWithWaiters) {
      state_.notify_one();
    }
  }

 private:
  static constexpr uint8_t kFree = 0;
  static constexpr uint8_t kLocked = 1;
  static constexpr uint8_t kLockedWithWaiters = 2;

  std::atomic<uint8_t> state_{kFree};
};

}  // namespace vantorel
