// The state of an Index, in which it pickles and copies.
//
// The state is a dict: {"objects": [every live object, in ascending item id
// order], "private": {name: [positions in "objects"]}}. Pickle keeps the
// objects in one list, so its memo keeps objects that reach each other
// (nested values, cycles) shared.
//
// "private" says which objects' values the index holds under each name
// beginning with "_" that it has a value index for. Such names are indexed
// by add_object_many (and so by union_with and rebase), left out by
// add_object, and kept current on assignment by an index that holds the
// name; so two objects of one index may differ. Restoring adds the objects
// whose every private attribute was held through the bulk path with
// private names, the others without them, then enters the held values of
// those one by one: the restored index holds what the original held.
// Values that no query can tell held from not held (empty containers, and
// containers of NaN only) count as held. A value index that held no value
// at all is not restored, so a later assignment of that name to an object
// added with add_object is indexed by the original but not by the copy.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index.h"
#include "py/python.h"

namespace vantorel {

struct IndexState {
  std::vector<StoredItem> items;
  // Per item, the private attribute ids whose values are held.
  std::vector<std::vector<uint32_t>> held;
};

// The state of `core`, a new dict. Requires the interpreter lock, which it
// releases while it reads the core. Throws py::PythonError.
PyObject* index_state(IndexAPI& core);

// The native form of a state dict. Throws py::PythonError with TypeError or
// ValueError set when `state` is not a state. Requires the interpreter lock.
IndexState read_index_state(PyObject* state);

// Adds the objects of `state` to `core` as described above. Runs without
// the interpreter lock; the add paths take it back where they need it.
void restore_index_state(IndexAPI& core, const IndexState& state);

}  // namespace vantorel
