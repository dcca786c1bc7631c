#include "classes/index_state.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "values/attribute_names.h"
#include "core/query/query_ops.h"
#include "core/query/value_order.h"
#include "native/structures/string_interner/string_interner.h"
#include "values/indexable_object.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/ref.h"

namespace vantorel {

namespace {

using Values = std::vector<std::pair<uint32_t, PyValue>>;

const PyValue* value_of(const Values& values, uint32_t attribute) {
  for (const auto& [id, value] : values) {
    if (id == attribute) return &value;
  }
  return nullptr;
}

// A value that an equality query finds exactly when `value` is held: the
// value itself, or for a container one of its elements (at any depth).
// None for what no query tells apart (empty containers, NaN).
std::optional<PyValue> probe_of(const PyValue& value) {
  std::vector<const PyValue*> pending{&value};
  while (!pending.empty()) {
    const PyValue* candidate = pending.back();
    pending.pop_back();
    if (candidate->kind() == ValueKind::Iterable) {
      for (const PyValue& element : *candidate->as_iterable().elements) pending.push_back(&element);
    } else if (candidate->kind() != ValueKind::Float || !std::isnan(candidate->as_float())) {
      return *candidate;
    }
  }
  return std::nullopt;
}

// For each private attribute that `core` has a value index for, the
// positions in `items` of the objects whose values it holds there.
// Runs without the interpreter lock.
std::vector<std::pair<uint32_t, std::vector<size_t>>> private_holders(
    IndexAPI& core, const std::vector<StoredItem>& items) {
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  std::vector<uint32_t> attributes = core.read_maps([&](const IndexAPI::MapArray& maps) {
    std::vector<uint32_t> found;
    for (uint32_t id = 0; id < maps.size() && id < names->size(); ++id) {
      if (maps[id] && is_private_attribute(*names, id)) found.push_back(id);
    }
    return found;
  });
  std::vector<std::pair<uint32_t, std::vector<size_t>>> holders;
  if (attributes.empty()) return holders;
  std::vector<Values> values(items.size());
  for (size_t i = 0; i < items.size(); ++i) values[i] = snapshot_attributes(*items[i].record);
  const Bitmap live = core.live_ids();
  for (const uint32_t attribute : attributes) {
    const std::string_view name = names->name(attribute);
    // Numbers and strings held as plain values, NaN included.
    Bitmap scalars;
    core.read_maps([&](const IndexAPI::MapArray& maps) {
      const std::vector<uint32_t> ids = *sorted_by_value(*maps[attribute], live, false, {});
      for (uint32_t id : ids) scalars.add(id);
      return 0;
    });
    std::vector<size_t>& held = holders.emplace_back(attribute, std::vector<size_t>()).second;
    for (size_t i = 0; i < items.size(); ++i) {
      const PyValue* value = value_of(values[i], attribute);
      if (value == nullptr) continue;
      const uint32_t id = items[i].record->id;
      bool holds = true;
      if (value->kind() == ValueKind::Int || value->kind() == ValueKind::Float ||
          value->kind() == ValueKind::Str) {
        holds = scalars.contains(id);
      } else if (std::optional<PyValue> probe = probe_of(*value)) {
        std::vector<PyValue> operand{std::move(*probe)};
        holds =
            core.reduced_query(QueryExpr::leaf(QueryOp::Eq, name, std::move(operand))).contains(id);
      }
      if (holds) held.push_back(i);
    }
  }
  return holders;
}

PyObject* str_of(std::string_view text) {
  return py::check(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

[[noreturn]] void refuse_state(PyObject* exception, const char* message) {
  PyErr_Format(exception, "Index.__setstate__(): %s", message);
  throw py::PythonError();
}

}  // namespace

PyObject* index_state(IndexAPI& core) {
  std::vector<StoredItem> items;
  std::vector<std::pair<uint32_t, std::vector<size_t>>> holders;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    items = core.live_items();
    holders = private_holders(core, items);
  }
  py::OwnedRef objects =
      py::OwnedRef::steal(py::check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(objects.get(), static_cast<Py_ssize_t>(i), items[i].python->new_reference());
  }
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  py::OwnedRef held = py::OwnedRef::steal(py::check(PyDict_New()));
  for (const auto& [attribute, positions] : holders) {
    py::OwnedRef list =
        py::OwnedRef::steal(py::check(PyList_New(static_cast<Py_ssize_t>(positions.size()))));
    for (size_t i = 0; i < positions.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      py::check(PyLong_FromSize_t(positions[i])));
    }
    py::OwnedRef key = py::OwnedRef::steal(str_of(names->name(attribute)));
    py::check(PyDict_SetItem(held.get(), key.get(), list.get()) == 0);
  }
  return py::check(Py_BuildValue("{sOsO}", "objects", objects.get(), "private", held.get()));
}

IndexState read_index_state(PyObject* state) {
  if (!PyDict_Check(state)) refuse_state(PyExc_TypeError, "the state is a dict");
  PyObject* objects = PyDict_GetItemString(state, "objects");
  PyObject* held = PyDict_GetItemString(state, "private");
  const Py_ssize_t keys = PyDict_GET_SIZE(state);
  if (objects == nullptr || keys != (held == nullptr ? 1 : 2)) {
    refuse_state(PyExc_ValueError, "the state has the keys 'objects' and 'private' only");
  }
  if (!PyList_Check(objects)) refuse_state(PyExc_TypeError, "'objects' is a list");
  if (held != nullptr && !PyDict_Check(held)) refuse_state(PyExc_TypeError, "'private' is a dict");
  IndexState result;
  const Py_ssize_t count = PyList_GET_SIZE(objects);
  result.items.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* object = PyList_GET_ITEM(objects, i);
    if (!is_indexable(object))
      refuse_state(PyExc_TypeError, "'objects' holds only Indexable objects");
    result.items.push_back(stored_item_of(object));
  }
  result.held.resize(result.items.size());
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
  // (item, attribute): a held value of an object added without its private names.
  std::vector<std::pair<const StoredItem*, uint32_t>> singles;
  for (size_t i = 0; i < state.items.size(); ++i) {
    const StoredItem& item = state.items[i];
    const std::vector<uint32_t>& held = state.held[i];
    std::vector<uint32_t> held_private;
    bool every_private_held = true;
    for (const auto& [attribute, value] : snapshot_attributes(*item.record)) {
      if (!is_private_attribute(*names, attribute)) continue;
      if (std::find(held.begin(), held.end(), attribute) == held.end()) {
        every_private_held = false;
      } else {
        held_private.push_back(attribute);
      }
    }
    if (every_private_held) {
      with_private.push_back(item);
      continue;
    }
    without_private.push_back(item);
    for (const uint32_t attribute : held_private) singles.emplace_back(&item, attribute);
  }
  core.add_object_many(with_private, /*index_private=*/true);
  core.add_object_many(without_private, /*index_private=*/false);
  for (const auto& [item, attribute] : singles) {
    const IndexableRecord& record = *item->record;
    // As an assignment does: under the object's membership mutex, which
    // keeps its value and this index's entries in step.
    auto memberships = std::as_const(*record.indexes).lock();
    std::optional<PyValue> value;
    {
      auto store = std::as_const(*record.attributes).lock();
      if (const PyValue* current = store->get(attribute)) value = *current;
    }
    if (value && core.is_live(record.id)) core.add_index(record.id, attribute, *value);
  }
}

}  // namespace vantorel
