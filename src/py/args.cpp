#include "py/args.h"

#include "py/errors.h"

#include <cstring>
#include <string>

namespace vantorel::py {

namespace {

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
               signature.display_name, signature.parameters.size(), given,
               given == 1 ? "was" : "were");
}

void raise_missing(const Signature& signature, const std::vector<const char*>& missing) {
  std::string names;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0)
      names += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
    names += "'";
    names += missing[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.display_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
}

// Index of the parameter named by `key` (a str), or -1.
Py_ssize_t find_parameter(const Signature& signature, PyObject* key) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (size_t i = 0; i < signature.parameters.size(); ++i) {
    const char* name = signature.parameters[i];
    if (std::strlen(name) == static_cast<size_t>(length) && std::memcmp(name, text, length) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool place_keyword(const Signature& signature, PyObject* key, PyObject* value, ParsedArgs* out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", signature.display_name);
    return false;
  }
  Py_ssize_t index = find_parameter(signature, key);
  if (index >= 0) {
    if (out->values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   signature.display_name, signature.parameters[index]);
      return false;
    }
    out->values[index] = value;
    return true;
  }
  if (!signature.var_keyword) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 signature.display_name, key);
    return false;
  }
  out->var_keyword.emplace_back(key, value);
  return true;
}

bool place_positionals(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       ParsedArgs* out) {
  const Py_ssize_t declared = static_cast<Py_ssize_t>(signature.parameters.size());
  out->values.assign(signature.parameters.size(), nullptr);
  if (nargs > declared && !signature.var_positional) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  const Py_ssize_t placed = nargs < declared ? nargs : declared;
  for (Py_ssize_t i = 0; i < placed; ++i) out->values[i] = args[i];
  if (signature.var_positional) {
    const Py_ssize_t extra = nargs - placed;
    out->var_positional = OwnedRef::steal(PyTuple_New(extra));
    if (!out->var_positional) return false;
    for (Py_ssize_t i = 0; i < extra; ++i) {
      Py_INCREF(args[placed + i]);
      PyTuple_SET_ITEM(out->var_positional.get(), i, args[placed + i]);
    }
  }
  return true;
}

bool check_required(const Signature& signature, const ParsedArgs& out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < signature.required; ++i) {
    if (out.values[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (missing.empty()) return true;
  raise_missing(signature, missing);
  return false;
}

}  // namespace

bool parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, ParsedArgs* out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!place_positionals(signature, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) {
        return false;
      }
    }
  }
  return check_required(signature, *out);
}

bool parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                      ParsedArgs* out) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  PyObject* const* items = args == nullptr ? nullptr : &PyTuple_GET_ITEM(args, 0);
  if (!place_positionals(signature, items, nargs, out)) return false;
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!place_keyword(signature, key, value, out)) return false;
    }
  }
  return check_required(signature, *out);
}

void wrap_argument_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  OwnedRef cause = take_raised_exception();
  OwnedRef text = OwnedRef::steal(cause ? PyObject_Str(cause.get()) : nullptr);
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (message == nullptr) return;
  std::string full = "argument '" + std::string(parameter) + "': " + message;
  OwnedRef error = OwnedRef::steal(PyObject_CallFunction(PyExc_TypeError, "s", full.c_str()));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace vantorel::py
