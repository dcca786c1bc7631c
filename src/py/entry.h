// The one way from Python into the module.
//
// enter(name, on_error, body): the frame of every function, method and slot.
// It does the entry bookkeeping (references queued for release while no
// thread held the interpreter lock are released), then runs `body`
// inside the error boundary, which turns a C++ exception into the Python
// exception it stands for: PythonError into the error already set,
// std::bad_alloc into MemoryError, InternalError (and any other
// std::exception) into the internal-error exception. `name` is the callable's
// display name ("Index.add_object()"); the report that an internal error
// writes to standard error names it.
//
// After the body, enter() runs the module's delivery of notifications (see
// `delivery`) when some are due on this thread, which calls back into Python
// code: what the body changed is whole by then, and no native lock is held.
//
// Method: a METH_FASTCALL | METH_KEYWORDS function or method: its argument
// signature (whose display name is the name passed to enter()), its body,
// and the check of its receiver (null for module functions and static
// methods). method_def<kMethod>(name, doc) is its method-table entry: a C
// function that runs enter(), the receiver check, argument parsing and the
// body, in that order.
#pragma once

#include <atomic>
#include <exception>
#include <new>
#include <type_traits>

#include "native/common/internal_error.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/python.h"

namespace vantorel::py {

// Delivers the notifications that native work queued on this thread, with
// the interpreter lock held; false with an error set when delivering raised.
// A pending error (the body's) is kept and wins over the delivery's.
using Delivery = bool (*)();

// The delivery (null until the module first needs one). Set once.
inline std::atomic<Delivery> delivery{nullptr};

// Whether native work may have queued notifications on this thread: set by
// what queues them, cleared by the delivery once none is left. A plain
// thread-local flag, so that a call with nothing to deliver costs one load.
inline thread_local bool delivery_due = false;

template <class Result, class Fn>
Result guarded(const char* name, Result on_error, Fn&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const InternalError& error) {
    raise_internal_error(error.what(), name);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_error(error.what(), name);
  }
  return on_error;
}

template <class Result, class Fn>
Result enter(const char* name, Result on_error, Fn&& body) noexcept {
  release_queued_references();
  Result result = guarded(name, on_error, body);
  Delivery deliver = delivery.load(std::memory_order_acquire);
  if (deliver == nullptr || !delivery_due || guarded(name, false, deliver)) return result;
  if constexpr (std::is_same_v<Result, PyObject*>) Py_XDECREF(result);
  return on_error;
}

struct Method {
  Signature signature;
  // Runs with the interpreter lock held, the receiver checked and the
  // arguments parsed. Returns a new reference, or null with an error set.
  PyObject* (*body)(PyObject* self, const ParsedArgs& args);
  // Returns false with TypeError set when `self` is not a receiver of the
  // method. Null when the callable has no receiver to check.
  bool (*check_receiver)(PyObject* self) = nullptr;
};

template <const Method& kMethod>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter<PyObject*>(kMethod.signature.display_name, nullptr, [&]() -> PyObject* {
    if (kMethod.check_receiver != nullptr && !kMethod.check_receiver(self)) return nullptr;
    ParsedArgs parsed;
    if (!parse_fastcall(kMethod.signature, args, nargs, kwnames, &parsed)) return nullptr;
    return kMethod.body(self, parsed);
  });
}

// `extra_flags`: METH_STATIC for a static method.
template <const Method& kMethod>
PyMethodDef method_def(const char* name, const char* doc, int extra_flags = 0) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(call_method<kMethod>)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

}  // namespace vantorel::py
