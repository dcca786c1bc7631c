#include "py/errors.h"

#include <cstdio>

#include "py/args.h"

namespace vantorel::py {

PyObject* internal_error_type() {
  static PyObject* type = nullptr;  // one reference, kept for the life of the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "Vantorel.InternalError",
        "An internal failure of Vantorel: a broken invariant, a lock poisoned by an "
        "earlier failure or a failed allocation. Derived from BaseException so that "
        "`except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

OwnedRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return OwnedRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return OwnedRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return OwnedRef::steal(value);
#endif
}

void restore_raised_exception(OwnedRef exception) {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

void raise_internal_error(const char* message, const char* where) {
  std::fprintf(stderr, "Vantorel internal error: %s (in %s)\n", message, where);
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // the creation failure is the pending error
  PyErr_SetString(type, message);
}

void set_cannot_convert(PyObject* object, const char* target, const char* parameter) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(object)->tp_name,
               target);
  if (parameter != nullptr) wrap_argument_error(parameter);
}

}  // namespace vantorel::py
