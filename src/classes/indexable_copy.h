// Copies and pickles of Indexable objects.
//
// The state of an object is a dict of its stored attributes by name, names
// beginning with "_" included. Reducing an object gives the module function
// `_restore_indexable` (which makes an empty object of the class through the
// class's __new__) and that state; restoring assigns each attribute as
// `obj.name = value` does. copy.copy, copy.deepcopy and pickle all go through
// __reduce_ex__, so their memos keep shared and cyclic nested objects shared
// and cyclic, and a copy belongs to no index until it is added to one.
//
// Subclasses customise as with any Python class: an overridden __reduce__,
// __getstate__ or __setstate__ is used in place of the native one.
#pragma once

#include "py/entry.h"
#include "py/python.h"

namespace vantorel {

// Methods of the Indexable class: __reduce_ex__, __reduce__, __getstate__
// and __setstate__.
extern const py::Method kReduceExMethod;
extern const py::Method kReduceMethod;
extern const py::Method kGetStateMethod;
extern const py::Method kSetStateMethod;

// The module function "_restore_indexable(cls=None)": a new, empty instance
// of `cls` (Indexable when None), made by `cls.__new__(cls)`. Pickles name it
// by reference, so it must be set on the module under that name.
PyMethodDef* restore_indexable_method();

}  // namespace vantorel
