// Interpreter-lock bookkeeping shared by every entry point of the module.
//
// release_queued_references(): called first by every function, method and
// slot. It applies the Python reference releases that were queued while no
// thread held the interpreter lock.
//
// NativeScope: the one way native work gives the interpreter lock up. A
// thread must never wait for a native lock while it holds the interpreter
// lock, since the lock's holder may need it.
#pragma once

#include "native/sync/wait_hook.h"
#include "py/python.h"

namespace vantorel::py {

// Releases `object` (a strong reference) now when this thread holds the
// interpreter lock, otherwise queues it for the next entry into the module.
void release_reference(PyObject* object);

// Applies every queued release. Requires the interpreter lock.
void release_queued_references();

// Native work run by a thread that holds the interpreter lock. For the
// scope's life, the interpreter lock is given up when the first native lock
// must wait (through the wait hook: an uncontended lock costs no hand-over,
// which another thread running Python code could keep for a whole switch
// interval), or at once with kReleaseNow, for long work. It is taken back at
// the scope's end: declared before the guards of the native locks it covers,
// the scope ends after they have let go, so the thread never waits for the
// interpreter lock while it holds a native lock. Python references released
// inside the scope are queued and released at its end, with the interpreter
// lock: no Python code (a __del__) runs while the work holds native locks.
// Work inside the scope must not need the interpreter lock. Not nested.
class NativeScope final : private WaitHook {
 public:
  enum Release { kReleaseWhenWaiting, kReleaseNow };

  explicit NativeScope(Release release = kReleaseWhenWaiting);
  ~NativeScope();
  NativeScope(const NativeScope&) = delete;
  NativeScope& operator=(const NativeScope&) = delete;

 private:
  void before_wait() override;

  WaitHook* previous_hook_;
  bool previous_deferral_;
  PyThreadState* released_ = nullptr;
};

}  // namespace vantorel::py
