#include "classes/index_state.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <utility>

#include "core/query/compare.h"
#include "core/query/query_ops.h"
#include "core/query/value_order.h"
#include "native/structures/string_interner/string_interner.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/ref.h"
#include "values/attribute_names.h"
#include "values/indexable_object.h"

namespace vantorel {

namespace {

// A value that an equality query finds exactly when `value` is held: the
// value itself, or for a container one of its elements (at any depth).
// None for what no query tells apart (empty containers, NaN).
std::optional<PyValue> probe_of(const PyValue& value) {
  std::optional<PyValue> probe;
  auto matchable = [&](const PyValue& leaf) {
    if (equality_key(leaf).matches_nothing()) return false;
    probe = leaf;
    return true;
  };
  any_leaf(value, matchable);
  return probe;
}

// Per item, the private attributes whose values `core` holds. Runs without
// the interpreter lock.
std::vector<std::vector<uint32_t>> held_private(IndexAPI& core,
                                                const std::vector<StoredItem>& items) {
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  const Bitmap live = core.live_ids();
  // Per private attribute with a value index, the ids holding a number or a
  // string there (NaN too, which no query finds).
  auto scalars = core.read_maps([&](const IndexAPI::MapArray& maps) {
    std::unordered_map<uint32_t, Bitmap> found;
    for (uint32_t id = 0; id < maps.size() && id < names->size(); ++id) {
      if (!maps[id] || !is_private_attribute(*names, id)) continue;
      const std::vector<uint32_t> ids = *sorted_by_value(*maps[id], live, false, {});
      found.emplace(id, Bitmap::of(ids.data(), ids.size()));
    }
    return found;
  });
  std::vector<std::vector<uint32_t>> held(items.size());
  for (size_t i = 0; i < items.size() && !scalars.empty(); ++i) {
    const uint32_t id = items[i].record->id;
    for (const auto& [attribute, value] : snapshot_attributes(*items[i].record)) {
      const auto found = scalars.find(attribute);
      if (found == scalars.end()) continue;
      bool holds = true;
      if (value.kind() == ValueKind::Int || value.kind() == ValueKind::Float ||
          value.kind() == ValueKind::Str) {
        holds = found->second.contains(id);
      } else if (std::optional<PyValue> probe = probe_of(value)) {
        const QueryExpr query = QueryExpr::leaf(QueryOp::Eq, names->name(attribute), {*probe});
        holds = core.reduced_query(query).contains(id);
      }
      if (holds) held[i].push_back(attribute);
    }
  }
  return held;
}

[[noreturn]] void refuse_state(PyObject* exception, const char* message) {
  PyErr_Format(exception, "Index.__setstate__(): %s", message);
  throw py::PythonError();
}

}  // namespace

PyObject* index_state(IndexAPI& core) {
  std::vector<StoredItem> items;
  std::vector<std::vector<uint32_t>> held;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    items = core.live_items();
    held = held_private(core, items);
  }
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  py::OwnedRef objects =
      py::OwnedRef::steal(py::check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  py::OwnedRef holders = py::OwnedRef::steal(py::check(PyDict_New()));
  for (size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(objects.get(), static_cast<Py_ssize_t>(i), items[i].python->new_reference());
    for (const uint32_t attribute : held[i]) {
      py::OwnedRef key = py::OwnedRef::steal(py::check(py::str_of(names->name(attribute))));
      py::OwnedRef empty = py::OwnedRef::steal(py::check(PyList_New(0)));
      PyObject* positions = py::check(PyDict_SetDefault(holders.get(), key.get(), empty.get()));
      py::OwnedRef position = py::OwnedRef::steal(py::check(PyLong_FromSize_t(i)));
      py::check(PyList_Append(positions, position.get()) == 0);
    }
  }
  return py::check(Py_BuildValue("{sOsO}", "objects", objects.get(), "private", holders.get()));
}

IndexState read_index_state(PyObject* state) {
  PyObject* objects = PyDict_Check(state) ? PyDict_GetItemString(state, "objects") : nullptr;
  PyObject* held = PyDict_Check(state) ? PyDict_GetItemString(state, "private") : nullptr;
  if (!PyDict_Check(state)) refuse_state(PyExc_TypeError, "the state is a dict");
  if (objects == nullptr || PyDict_GET_SIZE(state) != (held == nullptr ? 1 : 2)) {
    refuse_state(PyExc_ValueError, "the state has the keys 'objects' and 'private' only");
  }
  if (!PyList_Check(objects)) refuse_state(PyExc_TypeError, "'objects' is a list");
  if (held != nullptr && !PyDict_Check(held)) refuse_state(PyExc_TypeError, "'private' is a dict");
  const Py_ssize_t count = PyList_GET_SIZE(objects);
  IndexState result{{}, std::vector<std::vector<uint32_t>>(static_cast<size_t>(count))};
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* object = PyList_GET_ITEM(objects, i);
    if (!is_indexable(object))
      refuse_state(PyExc_TypeError, "'objects' holds only Indexable objects");
    result.items.push_back(stored_item_of(object));
  }
  Py_ssize_t cursor = 0;
  PyObject* name = nullptr;
  PyObject* positions = nullptr;
  while (held != nullptr && PyDict_Next(held, &cursor, &name, &positions)) {
    if (!PyUnicode_Check(name) || !PyList_Check(positions)) {
      refuse_state(PyExc_TypeError, "'private' maps names to lists of positions");
    }
    const AttributeName attribute = intern_attribute_name(name);
    if (attribute.indexed) refuse_state(PyExc_ValueError, "'private' names begin with '_'");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions); ++i) {
      PyObject* item = PyList_GET_ITEM(positions, i);
      const Py_ssize_t position = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
      if (position == -1 && PyErr_Occurred()) PyErr_Clear();
      if (position < 0 || position >= count) {
        refuse_state(PyExc_ValueError, "a position in 'private' is not an index of 'objects'");
      }
      result.held[static_cast<size_t>(position)].push_back(attribute.id);
    }
  }
  return result;
}

void restore_index_state(IndexAPI& core, const IndexState& state) {
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  std::vector<StoredItem> with_private;
  std::vector<StoredItem> without_private;
  // The held values of objects added without their private names.
  std::vector<std::pair<const IndexableRecord*, uint32_t>> singles;
  for (size_t i = 0; i < state.items.size(); ++i) {
    const std::vector<uint32_t>& held = state.held[i];
    const size_t first_single = singles.size();
    bool every_private_held = true;
    for (const auto& [attribute, value] : snapshot_attributes(*state.items[i].record)) {
      if (!is_private_attribute(*names, attribute)) continue;
      if (std::find(held.begin(), held.end(), attribute) == held.end()) {
        every_private_held = false;
      } else {
        singles.emplace_back(state.items[i].record.get(), attribute);
      }
    }
    if (every_private_held) singles.resize(first_single);
    (every_private_held ? with_private : without_private).push_back(state.items[i]);
  }
  core.add_object_many(with_private, /*index_private=*/true);
  core.add_object_many(without_private, /*index_private=*/false);
  for (const auto& [record, attribute] : singles) {
    // As an assignment does: under the object's membership mutex, which
    // keeps its value and this index's entries in step.
    auto memberships = std::as_const(record->indexes()).lock();
    std::optional<PyValue> value = record->stored_value(attribute);
    if (value && core.is_live(record->id)) core.add_index(record->id, attribute, *value);
  }
}

}  // namespace vantorel
