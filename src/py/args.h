// The argument parser of every function and method of the module.
//
// A Signature describes one callable: its display name ("Index.add_object()",
// "sum_as_string()"), its positional-or-keyword parameters, how many of them
// are required, and whether it takes *args or **kwargs. Parsing fills one
// borrowed slot per parameter (null when absent) and, where the signature
// allows, collects surplus positionals into a tuple and unknown keywords as
// (name, value) pairs. Failures raise TypeError with CPython-style messages and return
// false.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "py/python.h"
#include "py/ref.h"

namespace vantorel::py {

struct Signature {
  const char* display_name;
  std::vector<const char*> parameters;
  size_t required;
  bool var_positional = false;
  bool var_keyword = false;
};

struct ParsedArgs {
  std::vector<PyObject*> values;  // borrowed, one per parameter, null when absent
  OwnedRef var_positional;        // tuple, when the signature takes *args
  // The keywords that name no parameter, when the signature takes **kwargs:
  // borrowed (name, value) pairs, in call order, valid for the call.
  std::vector<std::pair<PyObject*, PyObject*>> var_keyword;
};

// Vectorcall / METH_FASTCALL | METH_KEYWORDS convention.
bool parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, ParsedArgs* out);

// tp_new / tp_call convention (a tuple and an optional dict).
bool parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                      ParsedArgs* out);

// Rewrites a pending TypeError as "argument '{parameter}': {message}" with the
// original error as its cause; any other pending error is left as it is.
void wrap_argument_error(const char* parameter);

}  // namespace vantorel::py
