#include "py/gil.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "native/sync/fork_hold.h"

namespace vantorel::py {

namespace {

std::mutex pending_mutex;
std::vector<PyObject*> pending;
std::atomic<bool> has_pending{false};

// A fork waits for the queue's mutex, so that a child can queue and drain
// releases whichever thread of its parent was queueing at the fork.
std::mutex& pending_lock() {
  return pending_mutex;
}
[[maybe_unused]] const bool pending_held_across_fork = (hold_across_fork<&pending_lock>(), true);
// Set inside a NativeScope: releases are queued even with the interpreter
// lock held.
thread_local bool defer_releases = false;

}  // namespace

void release_queued_references() {
  if (!has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    batch.swap(pending);
    has_pending.store(false, std::memory_order_release);
  }
  for (PyObject* object : batch) Py_DECREF(object);
}

void release_reference(PyObject* object) {
  if (object == nullptr) return;
  if (!defer_releases && PyGILState_Check()) {
    Py_DECREF(object);
    return;
  }
  std::lock_guard<std::mutex> lock(pending_mutex);
  pending.push_back(object);
  has_pending.store(true, std::memory_order_release);
}

NativeScope::NativeScope(Release release)
    : previous_hook_(install_wait_hook(this)), previous_deferral_(defer_releases) {
  defer_releases = true;
  if (release == kReleaseNow) before_wait();
}

NativeScope::~NativeScope() {
  install_wait_hook(previous_hook_);
  if (released_ != nullptr) PyEval_RestoreThread(released_);
  defer_releases = previous_deferral_;
  if (!defer_releases) release_queued_references();
}

void NativeScope::before_wait() {
  if (released_ == nullptr) released_ = PyEval_SaveThread();
}

}  // namespace vantorel::py
