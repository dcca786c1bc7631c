// Poisoning locks: a mutex or reader-writer lock that owns the data it guards.
// A write guard (or a mutex guard) released while its thread unwinds from an
// exception marks the lock poisoned; every later attempt to take the lock then
// throws InternalError with the lock's poison message. A lock that must wait
// runs the thread's wait hook first (wait_hook.h). Pure C++, no Python.
#pragma once

#include <atomic>
#include <exception>
#include <optional>
#include <utility>

#include "native/common/internal_error.h"
#include "native/sync/read_hold.h"
#include "native/sync/small_mutex.h"
#include "native/sync/small_rw_lock.h"
#include "native/sync/wait_hook.h"

namespace vantorel {

namespace detail {

// Remembers the number of exceptions in flight when a guard was made, so that
// its destructor can tell a normal release from a release during unwinding.
// A watch made off never reports unwinding, and costs nothing: asking for
// the count goes through the thread's exception globals, a call into the
// C++ runtime on every platform.
class UnwindWatch {
 public:
  UnwindWatch() : in_flight_(std::uncaught_exceptions()) {}
  static UnwindWatch off() { return UnwindWatch(kOff); }
  bool unwinding() const { return in_flight_ != kOff && std::uncaught_exceptions() > in_flight_; }

 private:
  static constexpr int kOff = -1;
  explicit UnwindWatch(int in_flight) : in_flight_(in_flight) {}
  int in_flight_;
};

}  // namespace detail

template <class T>
class PoisonMutex {
 public:
  class Guard {
   public:
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), watch_(other.watch_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() { release(); }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

    // Unlocks early; the guard is empty afterwards.
    void release() {
      if (owner_ == nullptr) return;
      if (watch_.unwinding()) owner_->poisoned_.store(true, std::memory_order_release);
      owner_->mutex_.unlock();
      owner_ = nullptr;
    }

   private:
    friend class PoisonMutex;
    Guard(PoisonMutex* owner, detail::UnwindWatch watch) : owner_(owner), watch_(watch) {}
    PoisonMutex* owner_;
    detail::UnwindWatch watch_;
  };

  // The guard of a holder that only reads: leaving its scope by an exception
  // does not poison the mutex, since nothing was changed.
  class ReadGuard {
   public:
    ReadGuard(ReadGuard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() {
      if (owner_ != nullptr) owner_->mutex_.unlock();
    }

    const T& operator*() const { return owner_->value_; }
    const T* operator->() const { return &owner_->value_; }

   private:
    friend class PoisonMutex;
    explicit ReadGuard(PoisonMutex* owner) : owner_(owner) {}
    PoisonMutex* owner_;
  };

  template <class... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  // Blocks until the mutex is free. Throws InternalError(poison_message) when
  // an earlier holder failed.
  Guard lock(const char* poison_message = kPoisonedLock) {
    detail::lock_or_wait(mutex_);
    return checked(poison_message);
  }

  std::optional<Guard> try_lock(const char* poison_message = kPoisonedLock) {
    if (!mutex_.try_lock()) return std::nullopt;
    return checked(poison_message);
  }

  // try_lock for a holder whose change cannot throw (a swap of values that
  // move without throwing, say): it cannot leave the data half changed, so
  // its guard does not ask whether the thread is unwinding.
  std::optional<Guard> try_lock_for_nothrow_change(const char* poison_message = kPoisonedLock) {
    if (!mutex_.try_lock()) return std::nullopt;
    return checked(poison_message, detail::UnwindWatch::off());
  }
  Guard lock_for_nothrow_change(const char* poison_message = kPoisonedLock) {
    detail::lock_or_wait(mutex_);
    return checked(poison_message, detail::UnwindWatch::off());
  }

  // lock and try_lock for a holder that only reads (see ReadGuard). Such a
  // guard is also cheaper: its release does not ask whether the thread is
  // unwinding.
  ReadGuard lock_to_read(const char* poison_message = kPoisonedLock) {
    detail::lock_or_wait(mutex_);
    return checked_reader(poison_message);
  }

  std::optional<ReadGuard> try_lock_to_read(const char* poison_message = kPoisonedLock) {
    if (!mutex_.try_lock()) return std::nullopt;
    return checked_reader(poison_message);
  }

  // The mutex itself, for hold_across_fork() (sync/fork_hold.h) only: its
  // hold changes nothing, so it skips the poison check.
  SmallMutex& mutex_for_fork() { return mutex_; }

 private:
  ReadGuard checked_reader(const char* poison_message) {
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      throw InternalError(poison_message);
    }
    return ReadGuard(this);
  }

  Guard checked(const char* poison_message, detail::UnwindWatch watch = detail::UnwindWatch()) {
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      throw InternalError(poison_message);
    }
    return Guard(this, watch);
  }

  SmallMutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

template <class T>
class PoisonRwLock {
 public:
  class ReadGuard {
   public:
    // An empty guard, holding nothing until a guard is moved into it.
    ReadGuard() = default;
    ReadGuard(ReadGuard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), pinned_(other.pinned_) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    // Releases what this guard held, then takes over `other`'s lock.
    ReadGuard& operator=(ReadGuard&& other) noexcept {
      if (this != &other) {
        release();
        owner_ = std::exchange(other.owner_, nullptr);
        pinned_ = other.pinned_;
      }
      return *this;
    }
    ~ReadGuard() { release(); }

    const T& operator*() const { return owner_->value_; }
    const T* operator->() const { return &owner_->value_; }

    // Unlocks early, unless a ReadHold keeps the lock pinned; the guard is
    // empty afterwards.
    void release() {
      if (owner_ == nullptr) return;
      if (!pinned_) owner_->mutex_.unlock_shared();
      owner_ = nullptr;
    }

   private:
    friend class PoisonRwLock;
    ReadGuard(const PoisonRwLock* owner, bool pinned) : owner_(owner), pinned_(pinned) {}
    const PoisonRwLock* owner_ = nullptr;
    bool pinned_ = false;
  };

  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), watch_(other.watch_) {}
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() { release(); }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

    void release() {
      if (owner_ == nullptr) return;
      if (watch_.unwinding()) owner_->poisoned_.store(true, std::memory_order_release);
      owner_->mutex_.unlock();
      owner_ = nullptr;
    }

   private:
    friend class PoisonRwLock;
    explicit WriteGuard(PoisonRwLock* owner) : owner_(owner) {}
    PoisonRwLock* owner_;
    detail::UnwindWatch watch_;
  };

  template <class... Args>
  explicit PoisonRwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}

  // Under a ReadHold the lock stays read-locked until the hold ends (see
  // read_hold.h).
  ReadGuard read() const {
    std::vector<detail::HeldRead>* held = detail::current_held_reads();
    if (held != nullptr && detail::is_held(*held, this)) return ReadGuard(this, true);
    detail::lock_shared_or_wait(mutex_);
    return admitted_reader(held);
  }

  WriteGuard write() {
    refuse_if_held();
    detail::lock_or_wait(mutex_);
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      throw InternalError(kPoisonedLock);
    }
    return WriteGuard(this);
  }

  std::optional<ReadGuard> try_read() const {
    std::vector<detail::HeldRead>* held = detail::current_held_reads();
    if (held != nullptr && detail::is_held(*held, this)) return ReadGuard(this, true);
    if (!mutex_.try_lock_shared()) return std::nullopt;
    return admitted_reader(held);
  }

 private:
  // The guard of a reader that has just taken the shared lock: checked for
  // poison, and pinned when a hold is alive on this thread.
  ReadGuard admitted_reader(std::vector<detail::HeldRead>* held) const {
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock_shared();
      throw InternalError(kPoisonedLock);
    }
    if (held == nullptr) return ReadGuard(this, false);
    held->push_back({this, [](const void* lock) {
                       static_cast<const PoisonRwLock*>(lock)->mutex_.unlock_shared();
                     }});
    return ReadGuard(this, true);
  }

  // A writer on a thread whose hold pins this lock would wait for itself.
  void refuse_if_held() const {
    std::vector<detail::HeldRead>* held = detail::current_held_reads();
    if (held != nullptr && detail::is_held(*held, this)) {
      throw InternalError("write lock requested while held for reading");
    }
  }

  mutable SmallRwLock mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace vantorel
