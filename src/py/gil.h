// Interpreter-lock bookkeeping shared by every entry point of the module.
//
// EntryScope: made first by every function, method and slot. It applies the
// Python reference releases that were queued while no thread held the
// interpreter lock.
//
// AllowThreads: releases the interpreter lock for native work and takes it
// back when it goes out of scope (also when an exception leaves the scope).
//
// HoldUnlessWaiting: runs short native work without releasing the
// interpreter lock, unless the work has to wait for a native lock.
//
// lock_without_stalling: takes a native lock from a thread that holds the
// interpreter lock. It tries first; when the lock is busy it releases the
// interpreter lock while it waits, so that a holder that needs the
// interpreter lock can finish.
#pragma once

#include <utility>

#include "py/python.h"
#include "native/sync/wait_hook.h"

namespace vantorel::py {

// Releases `object` (a strong reference) now when this thread holds the
// interpreter lock, otherwise queues it for the next entry into the module.
void release_reference(PyObject* object);

// Applies every queued release. Requires the interpreter lock.
void drain_released_references();

class EntryScope {
 public:
  EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

class AllowThreads {
 public:
  AllowThreads();
  ~AllowThreads();
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// For the scope's life: the first native lock that cannot be taken at once
// releases the interpreter lock before it waits, so the thread never waits for
// a native lock with the interpreter lock held; the scope's end takes it back,
// after the work has let its native locks go, so the thread never waits for
// the interpreter lock with a native lock held. Uncontended work thus costs no
// hand-over of the interpreter lock (which another thread running Python code
// could keep for a whole switch interval). Python references released inside
// the scope are queued and released at its end: no Python code (a __del__)
// runs while the work holds native locks. Made with the interpreter lock held.
class HoldUnlessWaiting final : private WaitHook {
 public:
  HoldUnlessWaiting();
  ~HoldUnlessWaiting();
  HoldUnlessWaiting(const HoldUnlessWaiting&) = delete;
  HoldUnlessWaiting& operator=(const HoldUnlessWaiting&) = delete;

 private:
  void before_wait() override;

  WaitHook* previous_hook_;
  bool previous_deferral_;
  PyThreadState* released_ = nullptr;
};

// `try_take()` returns an engaged optional guard when the lock is free;
// `take()` blocks. Both are called with the interpreter lock held, `take()`
// only after releasing it.
template <class TryTake, class Take>
auto lock_without_stalling(TryTake&& try_take, Take&& take) {
  auto guard = try_take();
  if (guard) return std::move(*guard);
  AllowThreads released;
  return take();
}

}  // namespace vantorel::py
