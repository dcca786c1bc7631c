// NativeScope: the interpreter lock given up only for a native lock that must
// wait, and references released inside the scope let go at its end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "native/sync/poison_lock.h"
#include "py/gil.h"

namespace vantorel {
namespace {

TEST(NativeScope, GivesTheInterpreterLockUpOnlyToWait) {
  PoisonMutex<int> lock(0);
  {
    py::NativeScope native;
    *lock.lock() = 1;
    EXPECT_TRUE(PyGILState_Check());  // nothing had to wait
  }
  // The holder needs the interpreter lock before it lets go: the waiting
  // thread must give it up, or both wait for ever.
  std::atomic<bool> held{false};
  std::thread holder([&] {
    auto guard = lock.lock();
    held = true;
    PyGILState_STATE state = PyGILState_Ensure();
    *guard = 2;
    PyGILState_Release(state);
  });
  while (!held) std::this_thread::yield();
  {
    py::NativeScope native;
    EXPECT_EQ(*std::as_const(lock).lock(), 2);
  }
  EXPECT_TRUE(PyGILState_Check());
  holder.join();
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    EXPECT_FALSE(PyGILState_Check());
  }
  EXPECT_TRUE(PyGILState_Check());
}

TEST(NativeScope, ReleasesReferencesAtItsEnd) {
  PyObject* object = PyList_New(0);
  Py_INCREF(object);
  {
    py::NativeScope native;
    py::release_reference(object);
    EXPECT_EQ(Py_REFCNT(object), 2);  // no Python code runs under native locks
  }
  EXPECT_EQ(Py_REFCNT(object), 1);
  Py_DECREF(object);
}

}  // namespace
}  // namespace vantorel
