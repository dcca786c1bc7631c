// Attribute names as interned ids, found by the identity of the Python string.
//
// Code names attributes with string constants, which the interpreter interns,
// so the same str object comes back on every access: comparing its address
// finds the id without converting or hashing the text. A small direct-mapped
// cache remembers recent names; it holds a reference to every string in it,
// so an address cannot be reused for other text while it is cached. Only
// names that are interned are remembered: looking a name up never interns it.
//
// Requires the interpreter lock.
#pragma once

#include <cstdint>
#include <string_view>

#include "py/python.h"

namespace vantorel {

// Names beginning with "_" are stored on an object but not indexed, unless an
// index is asked to index them too.
constexpr bool is_indexed_name(std::string_view name) {
  return name.empty() || name.front() != '_';
}

struct AttributeName {
  uint32_t id;
  bool indexed;  // is_indexed_name() of the name
};

// Throws PythonError when the str `name` is not valid UTF-8, as interning it
// would; changes nothing.
void check_attribute_name(PyObject* name);

// The id of the str `name`, interning it. Throws PythonError when `name` is
// not valid UTF-8.
AttributeName intern_attribute_name(PyObject* name);

// Whether some object has stored the str `name`; if so, its id is put in
// `*found`. Throws PythonError when `name` is not valid UTF-8.
bool find_attribute_name(PyObject* name, AttributeName* found);

}  // namespace vantorel
