// The Indexable Python class: base class of every indexed user object.
//
// Every attribute assignment on an instance is converted once into a
// PyValue, pushed into every index that holds the object, and then stored in
// the object's native attribute store. Reads are served from that store
// first. Deletion is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "py/python.h"
#include "values/attribute_names.h"
#include "values/indexable_object.h"

namespace vantorel {

// The class object (a new heap type on first call). Borrowed reference;
// null with an error set when creation fails.
PyTypeObject* indexable_type();

// Assigns `value` to the attribute of `object` (an Indexable) as `object.name
// = value` does: every index that holds the object is updated, then the
// store. Requires the interpreter lock, which it lets go only if it must wait
// for a native lock.
void store_attribute(PyObject* object, const AttributeName& attribute, PyValue value);

// A snapshot of the stored attributes of `object` (an Indexable), in the
// store's iteration order. Requires the interpreter lock.
std::vector<std::pair<uint32_t, PyValue>> stored_attributes(PyObject* object);

}  // namespace vantorel
