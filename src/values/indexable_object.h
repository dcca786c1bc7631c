// The instance layout of the Indexable class and the functions that reach an
// instance's native record.
//
// Values, item tables and the class itself (classes/indexable.h, which
// registers its type object here) reach the record through this unit.
//
// Requires the interpreter lock.
#pragma once

#include "py/python.h"
#include "values/stored_item.h"

namespace vantorel {

// The C layout of every Indexable instance, subclasses included.
struct IndexableObject {
  PyObject_HEAD IndexableRecord record;
  // The keyword dictionary whose attributes __new__ stored, kept (strongly,
  // so that its address names it) until __init__ is called: construction
  // calls both with the same dictionary, and __init__ need not store the
  // same attributes again.
  PyObject* constructor_kwargs;
};

// Records the Indexable type object. Called by the class when it is made.
void register_indexable_type(PyTypeObject* type);

// Whether `object` is an instance of Indexable (or of a subclass). False
// while the class has not been made, when no instance can exist.
bool is_indexable(PyObject* object);

// The layout of `object`, which must be an Indexable.
inline IndexableObject* as_indexable(PyObject* object) {
  return reinterpret_cast<IndexableObject*>(object);
}

// How an item table holds `object` (an Indexable).
StoredItem stored_item_of(PyObject* object);

}  // namespace vantorel
