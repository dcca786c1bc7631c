// SmallRwLock: a four-byte reader-writer lock for locks that are rarely
// contended, such as the sub-indexes of one attribute.
//
// One atomic word holds a writer bit, a waiters bit, a writer-waiting bit and
// the number of readers. Taking and releasing a free lock is one
// compare-and-exchange and one atomic update, a fraction of what a pthread
// reader-writer lock costs.
// A thread that finds the lock taken marks the waiters bit and sleeps in the
// standard library's atomic wait (a futex on Linux); the release that sees
// the bit clears it and wakes every sleeper, which then compete again.
//
// Writers are preferred: a writer that has to wait sets the writer-waiting
// bit, and from then on no new reader is admitted, so the writer gets in as
// soon as the readers already inside have left, however many others keep
// arriving. The bit goes when a writer takes the lock; a writer still
// waiting sets it again when it next fails. A thread that holds a read lock
// must therefore not wait to read it again: a writer waiting in between
// would wait for the first read, and the second read for the writer. Not
// recursive; satisfies the standard Lockable and SharedLockable
// requirements. Pure C++.
#pragma once

#include <atomic>
#include <cstdint>

namespace vantorel {

class SmallRwLock {
 public:
  SmallRwLock() = default;
  SmallRwLock(const SmallRwLock&) = delete;
  SmallRwLock& operator=(const SmallRwLock&) = delete;

  bool try_lock() noexcept {
    uint32_t state = state_.load(std::memory_order_relaxed);
    while ((state & ~(kWaiters | kWriterWaiting)) == 0) {
      if (state_.compare_exchange_weak(state, (state & kWaiters) | kWriter,
                                       std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

  void lock() noexcept {
    while (!try_lock()) {
      state_.fetch_or(kWriterWaiting, std::memory_order_relaxed);
      wait_while([](uint32_t state) { return (state & (kWriter | kReaders)) != 0; });
    }
  }

  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) & kWaiters) state_.notify_all();
  }

  bool try_lock_shared() noexcept {
    uint32_t state = state_.load(std::memory_order_relaxed);
    while ((state & (kWriter | kWriterWaiting)) == 0) {
      if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

  void lock_shared() noexcept {
    while (!try_lock_shared()) {
      wait_while([](uint32_t state) { return (state & (kWriter | kWriterWaiting)) != 0; });
    }
  }

  void unlock_shared() noexcept {
    const uint32_t before = state_.fetch_sub(1, std::memory_order_release);
    // The last reader out wakes the sleepers (writers, then): readers that
    // are still in will wake them when they leave.
    if ((before & kReaders) == 1 && (before & kWaiters) != 0) {
      state_.fetch_and(~kWaiters, std::memory_order_relaxed);
      state_.notify_all();
    }
  }

 private:
  static constexpr uint32_t kWriter = 1u << 31;
  static constexpr uint32_t kWaiters = 1u << 30;
  static constexpr uint32_t kWriterWaiting = 1u << 29;
  static constexpr uint32_t kReaders = kWriterWaiting - 1;

  // Sleeps until the lock has changed, as long as `taken` says the caller
  // cannot have it. The waiters bit is set before sleeping, so the release
  // that makes the lock available sees it and wakes this thread.
  template <class Taken>
  void wait_while(Taken taken) noexcept {
    uint32_t state = state_.load(std::memory_order_relaxed);
    while (taken(state)) {
      if ((state & kWaiters) == 0 &&
          !state_.compare_exchange_weak(state, state | kWaiters, std::memory_order_relaxed)) {
        continue;  // `state` was reloaded: look again
      }
      state_.wait(state | kWaiters, std::memory_order_relaxed);
      state = state_.load(std::memory_order_relaxed);
    }
  }

  std::atomic<uint32_t> state_{0};
};

}  // namespace vantorel
