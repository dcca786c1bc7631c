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
//
// Also the conversions between str and UTF-8 that every layer makes.
#pragma once

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

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

// Sets TypeError "'{type}' object cannot be converted to '{target}'"; for
// the argument `parameter` of a call, as wrap_argument_error() words it.
void set_cannot_convert(PyObject* object, const char* target, const char* parameter = nullptr);

// The UTF-8 text of the str `object`, valid while it lives. Throws
// PythonError when it cannot be encoded.
inline std::string_view utf8_of(PyObject* object) {
  Py_ssize_t length = 0;
  const char* text = check(PyUnicode_AsUTF8AndSize(object, &length));
  return std::string_view(text, static_cast<size_t>(length));
}

// A new str from UTF-8 bytes; null with an error set when they are not valid
// UTF-8. ASCII text, the common case for attribute values, is copied straight
// into a fresh compact string: the general decoder's dispatch costs more than
// the copy for short text.
inline PyObject* str_of(std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (!ascii) return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
  PyObject* str = PyUnicode_New(size, 127);
  if (str != nullptr && size > 0) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
  return str;
}

}  // namespace vantorel::py
