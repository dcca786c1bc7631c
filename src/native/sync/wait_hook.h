// WaitHook: lets a thread run native work while it holds a resource that it
// must never hold while it waits for a lock (the interpreter lock of the
// Python layer), without giving that resource up when no wait comes.
//
// A thread installs a hook for the duration of the work. The first lock of
// this directory that cannot be taken at once runs the hook (which gives the
// resource up) and uninstalls it, and only then waits. Whoever installed the
// hook takes the resource back once the work has let every lock go. Pure C++.
#pragma once

namespace vantorel {

class WaitHook {
 public:
  // Called at most once, on the installing thread, before its first wait.
  virtual void before_wait() = 0;

 protected:
  ~WaitHook() = default;
};

namespace detail {

inline thread_local WaitHook* installed_wait_hook = nullptr;

// Runs and uninstalls the calling thread's hook, if it has one.
inline void run_wait_hook() {
  if (WaitHook* hook = installed_wait_hook) {
    installed_wait_hook = nullptr;
    hook->before_wait();
  }
}

}  // namespace detail

// Installs `hook` (null for none) on the calling thread and returns the hook
// it replaces.
inline WaitHook* install_wait_hook(WaitHook* hook) {
  WaitHook* previous = detail::installed_wait_hook;
  detail::installed_wait_hook = hook;
  return previous;
}

}  // namespace vantorel
