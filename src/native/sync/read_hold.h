// ReadHold: keeps every reader-writer lock that its thread reads pinned until
// the hold ends.
//
// While a ReadHold is alive on a thread, a PoisonRwLock that the thread takes
// for reading stays read-locked until the hold ends, and taking it for reading
// again borrows the lock already held instead of locking it twice (which a
// shared mutex does not allow). A query evaluation runs under one hold, so it
// reads each structure in a single state however often it consults it, and a
// concurrent writer is seen wholly before or wholly after.
//
// Locks join the hold in the order the thread first reads them; a caller that
// must respect a lock order takes the locks in that order up front. Taking a
// held lock for writing on the same thread would wait for itself: it throws
// InternalError instead. Holds nest: an inner hold joins the outer one. Pure
// C++, no Python.
#pragma once

#include <atomic>
#include <vector>

namespace vantorel {

class ReadHold {
 public:
  ReadHold();
  ~ReadHold();
  ReadHold(const ReadHold&) = delete;
  ReadHold& operator=(const ReadHold&) = delete;

  // Whether a hold is alive on this thread.
  static bool active();

 private:
  bool outermost_;
};

namespace detail {

// How a held lock is let go, whatever the type it guards.
struct HeldRead {
  const void* lock;
  void (*unlock)(const void* lock);
};

// Depth of nested holds on this thread, and the locks they pin.
inline thread_local int hold_depth = 0;
inline thread_local std::vector<HeldRead> held_reads;
// Outermost holds alive on all threads. Holds are rare, so the common check
// reads this one shared word instead of a thread-local, which costs a call
// in a shared library.
inline std::atomic<int> holds_alive{0};

// The locks pinned by the current thread's hold; null when no hold is alive.
inline std::vector<HeldRead>* current_held_reads() {
  if (holds_alive.load(std::memory_order_relaxed) == 0) return nullptr;
  return hold_depth > 0 ? &held_reads : nullptr;
}

bool is_held(const std::vector<HeldRead>& held, const void* lock);

}  // namespace detail

}  // namespace vantorel
