// Owned references to Python objects.
//
// OwnedRef is the single owner of one strong reference. Its release is safe
// on any thread: without the interpreter lock it is queued (see gil.h).
// SharedRef is a shared, atomically counted box around one OwnedRef, for
// native structures that several holders share and that may be released
// while the interpreter lock is not held.
#pragma once

#include <memory>
#include <utility>

#include "py/gil.h"
#include "py/python.h"

namespace vantorel::py {

class OwnedRef {
 public:
  OwnedRef() : object_(nullptr) {}
  // Takes over a strong reference (which may be null).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Takes a new strong reference. Requires the interpreter lock.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { release_reference(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the strong reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  // A new strong reference for the caller. Requires the interpreter lock.
  PyObject* new_reference() const {
    Py_XINCREF(object_);
    return object_;
  }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_;
};

using SharedRef = std::shared_ptr<const OwnedRef>;

// A new shared box around a new strong reference. Requires the interpreter lock.
inline SharedRef share(PyObject* object) {
  return std::make_shared<const OwnedRef>(OwnedRef::borrow(object));
}

}  // namespace vantorel::py
