#include "py/gil.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace vantorel::py {

namespace {

std::mutex pending_mutex;
std::vector<PyObject*> pending;
std::atomic<bool> has_pending{false};

}  // namespace

void release_reference(PyObject* object) {
  if (object == nullptr) return;
  if (PyGILState_Check()) {
    Py_DECREF(object);
    return;
  }
  std::lock_guard<std::mutex> lock(pending_mutex);
  pending.push_back(object);
  has_pending.store(true, std::memory_order_release);
}

void drain_released_references() {
  if (!has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    batch.swap(pending);
    has_pending.store(false, std::memory_order_release);
  }
  for (PyObject* object : batch) Py_DECREF(object);
}

EntryScope::EntryScope() {
  drain_released_references();
}

AllowThreads::AllowThreads() : state_(PyEval_SaveThread()) {}

AllowThreads::~AllowThreads() {
  PyEval_RestoreThread(state_);
  drain_released_references();
}

}  // namespace vantorel::py
