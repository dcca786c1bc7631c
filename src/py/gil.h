// Interpreter-lock bookkeeping shared by every entry point of the module.
//
// EntryScope: made first by every function, method and slot. It applies the
// Python reference releases that were queued while no thread held the
// interpreter lock.
//
// AllowThreads: releases the interpreter lock for native work and takes it
// back when it goes out of scope (also when an exception leaves the scope).
//
// lock_without_stalling: takes a native lock from a thread that holds the
// interpreter lock. It tries first; when the lock is busy it releases the
// interpreter lock while it waits, so that a holder that needs the
// interpreter lock can finish.
#pragma once

#include <utility>

#include "py/python.h"

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
