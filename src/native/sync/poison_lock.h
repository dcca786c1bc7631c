// Poisoning locks: a mutex and a reader-writer lock that own the data they
// guard, and ReadSnapshot, which holds several read locks together.
//
// A guard gives access to the data for as long as it holds the lock, and can
// let go early (release()). A guard that writes (PoisonMutex::lock(),
// PoisonRwLock::write()) and is let go while its thread unwinds from an
// exception may leave the data half changed: it marks the lock poisoned, and
// every later attempt to take the lock throws InternalError with the lock's
// poison message (a template argument, kPoisonedLock by default). A guard
// that only reads (PoisonRwLock::read(), or lock() on a const PoisonMutex,
// which still excludes every other holder) never poisons, and costs less: a
// writing guard asks the C++ runtime for the exceptions in flight when it is
// made and again when it lets go.
//
// A lock that must wait runs the thread's wait hook first (wait_hook.h). Each
// lock has a rank (lock_order.h), checked at every blocking acquisition when
// that check is compiled in. Pure C++, no Python.
#pragma once

#include <atomic>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "native/common/internal_error.h"
#include "native/sync/lock_order.h"
#include "native/sync/small_mutex.h"
#include "native/sync/small_rw_lock.h"
#include "native/sync/wait_hook.h"

namespace vantorel {

namespace detail {

// Tells a release during unwinding from a normal one: it remembers the
// exceptions in flight when it was made.
class UnwindWatch {
 public:
  UnwindWatch() : in_flight_(std::uncaught_exceptions()) {}
  bool unwinding() const { return std::uncaught_exceptions() > in_flight_; }

 private:
  int in_flight_;
};

// What a poisoning lock is apart from its data: the lock itself (a
// SmallMutex or a SmallRwLock), the poison mark and the rank. kShared selects
// the shared (reading) side of a SmallRwLock.
template <class Raw>
class PoisonCore {
 public:
  explicit PoisonCore(LockRank rank) {
#ifdef VANTOREL_CHECK_LOCK_ORDER
    rank_ = rank;
#else
    (void)rank;
#endif
  }

  // Waits for the lock, running the thread's wait hook first when it is
  // busy. Throws InternalError(message), without the lock, when it is
  // poisoned.
  template <bool kShared>
  lock_order::Hold acquire(const char* message) const {
    lock_order::check(this, rank());
    if (!try_raw<kShared>()) {
      detail::run_wait_hook();
      if constexpr (kShared) {
        raw_.lock_shared();
      } else {
        raw_.lock();
      }
    }
    return admitted<kShared>(message);
  }

  // Takes the lock if it is free; nullopt when it is not.
  template <bool kShared>
  std::optional<lock_order::Hold> try_acquire(const char* message) const {
    if (!try_raw<kShared>()) return std::nullopt;
    return admitted<kShared>(message);
  }

  template <bool kShared>
  void release(const lock_order::Hold& hold, bool poison) const {
    lock_order::released(hold, this);
    if (poison) poisoned_.store(true, std::memory_order_release);
    if constexpr (kShared) {
      raw_.unlock_shared();
    } else {
      raw_.unlock();
    }
  }

  Raw& raw() const { return raw_; }
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  template <bool kShared>
  bool try_raw() const {
    if constexpr (kShared) {
      return raw_.try_lock_shared();
    } else {
      return raw_.try_lock();
    }
  }

  template <bool kShared>
  lock_order::Hold admitted(const char* message) const {
    const lock_order::Hold hold = lock_order::acquired(this, rank());
    if (poisoned_.load(std::memory_order_acquire)) {
      release<kShared>(hold, false);
      throw InternalError(message);
    }
    return hold;
  }

  LockRank rank() const {
#ifdef VANTOREL_CHECK_LOCK_ORDER
    return rank_;
#else
    return LockRank{};
#endif
  }

  mutable Raw raw_;
  mutable std::atomic<bool> poisoned_{false};
#ifdef VANTOREL_CHECK_LOCK_ORDER
  LockRank rank_;
#endif
};

// The lock and the data of PoisonMutex and PoisonRwLock. A lock made without
// a rank stays out of the order check.
template <class T, class Raw>
class PoisonLock {
 public:
  using Value = T;

  template <class... Args>
  explicit PoisonLock(Args&&... args) : core_(LockRank{}), value_(std::forward<Args>(args)...) {}
  template <class... Args>
  explicit PoisonLock(LockRank rank, Args&&... args)
      : core_(rank), value_(std::forward<Args>(args)...) {}

 protected:
  PoisonCore<Raw> core_;
  T value_;
};

}  // namespace detail

// The guard of every poisoning lock: kWrites for a guard that may change the
// data (and poisons), otherwise one that reads. An empty guard (default-made,
// moved from or released) holds nothing.
template <class Lock, bool kWrites>
class LockGuard {
 public:
  using Value = std::conditional_t<kWrites, typename Lock::Value, const typename Lock::Value>;

  LockGuard() = default;
  LockGuard(LockGuard&& other) noexcept
      : lock_(std::exchange(other.lock_, nullptr)),
        hold_(other.hold_),
        in_flight_(other.in_flight_),
        owns_(other.owns_) {}
  // Lets go of what this guard held, then takes over `other`'s lock.
  LockGuard& operator=(LockGuard&& other) noexcept {
    if (this != &other) {
      release();
      lock_ = std::exchange(other.lock_, nullptr);
      hold_ = other.hold_;
      in_flight_ = other.in_flight_;
      owns_ = other.owns_;
    }
    return *this;
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() { release(); }

  Value& operator*() const { return lock_->value_; }
  Value* operator->() const { return &lock_->value_; }

  // Whether this guard reads under a snapshot that holds the lock (and goes
  // on holding it once the guard is gone).
  bool borrowed() const { return lock_ != nullptr && !owns_; }

  void release() {
    if (lock_ == nullptr) return;
    if (owns_) {
      if constexpr (kWrites) {
        lock_->core_.template release<false>(hold_, std::uncaught_exceptions() > in_flight_);
      } else {
        lock_->core_.template release<Lock::kSharedReads>(hold_, false);
      }
    }
    lock_ = nullptr;
  }

 private:
  friend Lock;
  using LockPointer = std::conditional_t<kWrites, Lock*, const Lock*>;

  LockGuard(LockPointer lock, lock_order::Hold hold, bool owns)
      : lock_(lock),
        hold_(hold),
        in_flight_(kWrites ? std::uncaught_exceptions() : 0),
        owns_(owns) {}

  LockPointer lock_ = nullptr;
  lock_order::Hold hold_;
  int in_flight_ = 0;  // exceptions in flight when a writing guard was made
  bool owns_ = false;  // false: a snapshot's hold, borrowed
};

// A mutex that owns a T. lock() and try_lock() on a const PoisonMutex give a
// guard that reads.
template <class T, const char* kPoisonMessage = kPoisonedLock>
class PoisonMutex : public detail::PoisonLock<T, SmallMutex> {
 public:
  using Guard = LockGuard<PoisonMutex, true>;
  using ReadGuard = LockGuard<PoisonMutex, false>;
  static constexpr bool kSharedReads = false;

  using detail::PoisonLock<T, SmallMutex>::PoisonLock;

  // Waits until the mutex is free. Throws InternalError(kPoisonMessage)
  // when a writing holder failed.
  Guard lock() { return Guard(this, core_.template acquire<false>(kPoisonMessage), true); }
  ReadGuard lock() const {
    return ReadGuard(this, core_.template acquire<false>(kPoisonMessage), true);
  }
  // The same without waiting: nullopt when the mutex is taken.
  std::optional<Guard> try_lock() {
    auto hold = core_.template try_acquire<false>(kPoisonMessage);
    if (!hold) return std::nullopt;
    return Guard(this, *hold, true);
  }
  std::optional<ReadGuard> try_lock() const {
    auto hold = core_.template try_acquire<false>(kPoisonMessage);
    if (!hold) return std::nullopt;
    return ReadGuard(this, *hold, true);
  }

  // Whether a writing holder failed (every later lock() throws).
  bool poisoned() const { return core_.poisoned(); }

  // The mutex itself, for hold_across_fork() (sync/fork_hold.h) only: its
  // hold changes nothing, so it skips the poison check.
  SmallMutex& mutex_for_fork() { return core_.raw(); }

 private:
  friend Guard;
  friend ReadGuard;
  using detail::PoisonLock<T, SmallMutex>::core_;
};

template <class T, const char* kPoisonMessage>
class PoisonRwLock;

// ReadSnapshot: read locks held together until the snapshot ends, so that
// the reads made under it see each of those structures in one state, as
// LevelDB's snapshots do for a database. The reads that must see that state
// are given the snapshot (PoisonRwLock::read(snapshot)); a read of a lock
// that it holds borrows the hold instead of taking the lock again (which,
// with a writer waiting in between, would wait for that writer, which waits
// for the snapshot). Holds are let go in reverse when the snapshot ends.
// Used by the thread that made it, which adds the locks in the lock order
// (lock_order.h).
class ReadSnapshot {
 public:
  ReadSnapshot() = default;
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;
  ~ReadSnapshot() {
    for (auto held = held_.rbegin(); held != held_.rend(); ++held) {
      held->lock->release<true>(held->hold, false);
    }
  }

  // Waits for `lock` for reading and holds it until the snapshot ends. A
  // lock held already is not taken again.
  template <class T, const char* kPoisonMessage>
  void hold(const PoisonRwLock<T, kPoisonMessage>& lock);

  bool holds(const void* lock) const {
    for (const Held& held : held_) {
      if (held.lock == lock) return true;
    }
    return false;
  }

 private:
  struct Held {
    const detail::PoisonCore<SmallRwLock>* lock;
    lock_order::Hold hold;
  };
  std::vector<Held> held_;
};

// A reader-writer lock that owns a T. It prefers writers (see SmallRwLock):
// a thread that reads it never waits to read it again, but reads it through
// a snapshot.
template <class T, const char* kPoisonMessage = kPoisonedLock>
class PoisonRwLock : public detail::PoisonLock<T, SmallRwLock> {
 public:
  using ReadGuard = LockGuard<PoisonRwLock, false>;
  using WriteGuard = LockGuard<PoisonRwLock, true>;
  static constexpr bool kSharedReads = true;

  using detail::PoisonLock<T, SmallRwLock>::PoisonLock;

  // Waits until no writer holds or waits for the lock; under a `snapshot`
  // that holds it, borrows that hold instead. Throws InternalError when a
  // writer failed.
  ReadGuard read(const ReadSnapshot* snapshot = nullptr) const {
    if (snapshot != nullptr && snapshot->holds(&core_)) return ReadGuard(this, {}, false);
    return ReadGuard(this, core_.template acquire<true>(kPoisonMessage), true);
  }
  // Waits until nothing holds the lock.
  WriteGuard write() {
    return WriteGuard(this, core_.template acquire<false>(kPoisonMessage), true);
  }
  // read() and write() without waiting: nullopt when the lock is busy.
  std::optional<ReadGuard> try_read() const {
    auto hold = core_.template try_acquire<true>(kPoisonMessage);
    if (!hold) return std::nullopt;
    return ReadGuard(this, *hold, true);
  }
  std::optional<WriteGuard> try_write() {
    auto hold = core_.template try_acquire<false>(kPoisonMessage);
    if (!hold) return std::nullopt;
    return WriteGuard(this, *hold, true);
  }

 private:
  friend ReadGuard;
  friend WriteGuard;
  friend ReadSnapshot;
  using detail::PoisonLock<T, SmallRwLock>::core_;
};

template <class T, const char* kPoisonMessage>
void ReadSnapshot::hold(const PoisonRwLock<T, kPoisonMessage>& lock) {
  if (holds(&lock.core_)) return;
  held_.reserve(held_.size() + 1);  // so that the lock, once taken, is recorded
  const lock_order::Hold hold = lock.core_.template acquire<true>(kPoisonMessage);
  held_.push_back({&lock.core_, hold});
}

}  // namespace vantorel
