// The Python side of failures.
//
// PythonError: a C++ exception meaning "a Python exception is already set";
// native code throws it after a failed C-API call so that the error travels
// to the boundary without being replaced.
//
// The internal-error exception: a class derived from BaseException (not from
// Exception), created once, that carries the message of an InternalError.
//
// The boundary that turns these C++ exceptions into Python ones is
// enter() (py/entry.h).
#pragma once

#include <exception>
#include <string>

#include "native/common/internal_error.h"
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
// Sets `exception` (as taken by take_raised_exception) as the pending one.
void restore_raised_exception(OwnedRef exception);

// The internal-error class; created on first use. Returns a borrowed reference.
PyObject* internal_error_type();

// Sets the internal-error exception with `message`, and reports the message
// and `where` (the callable that failed) on standard error.
void raise_internal_error(const char* message, const char* where);

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* object, const char* target);

}  // namespace vantorel::py
