// The Python side of failures.
//
// PythonError: a C++ exception meaning "a Python exception is already set";
// native code throws it after a failed C-API call so that the error travels
// to the boundary without being replaced.
//
// The internal-error exception: a class derived from BaseException (not from
// Exception), created once, that carries the message of an InternalError.
//
// guarded(): the boundary every entry point goes through. It converts
// InternalError into the internal-error exception (and writes the message to
// standard error), PythonError into the already-set Python error, and
// std::bad_alloc into MemoryError.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "common/internal_error.h"
#include "py/python.h"
#include "py/ref.h"

namespace vantorel::py {

class PythonError : public std::exception {
 public:
  const char* what() const noexcept override { return "Python error set"; }
};

// Throws PythonError when `ok` is false (a C-API call failed).
inline void check(bool ok) {
  if (!ok) throw PythonError();
}
template <class T>
T* check(T* result) {
  if (result == nullptr) throw PythonError();
  return result;
}

// Takes the pending exception (normalized, with its traceback) off the
// interpreter; null when none is pending.
OwnedRef take_raised_exception();

// The internal-error class; created on first use. Returns a borrowed reference.
PyObject* internal_error_type();

void raise_internal_error(const char* message, const char* where);

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* object, const char* target);

template <class Result, class Fn>
Result guarded(Result on_error, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const InternalError& error) {
    raise_internal_error(error.what(), __func__);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_error(error.what(), __func__);
  }
  return on_error;
}

}  // namespace vantorel::py
