// The state of an Index, in which it pickles and copies: a dict
// {"objects": [every live object, in ascending item id order],
//  "private": {name: [positions in "objects"]}}. Pickle keeps the objects in
// one list, so its memo keeps objects that reach each other shared.
//
// "private" says which objects' values the index holds under each name
// beginning with "_" that it has a value index for: add_object_many (and so
// union_with and rebase) indexes such names, add_object leaves them out, and
// an index that holds the name keeps it current on assignment, so two
// objects of one index may differ. Restoring adds the objects whose every
// private attribute was held through the bulk path with private names, the
// others without them, then enters the held values of those one by one.
// Values that no query can tell held from not held (empty containers, and
// containers of NaN only) count as held. A value index that held no value
// is not restored: a later assignment of that name to an object added with
// add_object is indexed by the original but not by the copy.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index.h"
#include "py/python.h"

namespace vantorel {

struct IndexState {
  std::vector<StoredItem> items;
  std::vector<std::vector<uint32_t>> held;  // per item, the held private attribute ids
};

// The state of `core`, a new dict. Requires the interpreter lock, which it
// releases while it reads the core. Throws py::PythonError.
PyObject* index_state(IndexAPI& core);

// The native form of a state dict. Throws py::PythonError with TypeError or
// ValueError set when `state` is not a state. Requires the interpreter lock.
IndexState read_index_state(PyObject* state);

// Adds the objects of `state` to `core`. Runs without the interpreter lock;
// the add paths take it back where they need it.
void restore_index_state(IndexAPI& core, const IndexState& state);

}  // namespace vantorel
