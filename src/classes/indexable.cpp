#include "classes/indexable.h"

#include <optional>
#include <utility>
#include <vector>

#include "classes/indexable_copy.h"
#include "core/index.h"
#include "core/query/query.h"
#include "native/structures/string_interner/string_interner.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"
#include "values/attribute_names.h"

namespace vantorel {

namespace {

// The stored value of `attribute` as a new reference. Null when the object
// has no such attribute (`*stored` false) or when the conversion failed
// (`*stored` true, error set).
PyObject* stored_object(const IndexableRecord& record, uint32_t attribute, bool* stored) {
  auto convert = [&](const PyValue* value) -> PyObject* {
    *stored = value != nullptr;
    return value != nullptr ? value->to_python() : nullptr;
  };
  AttributeLock::PeekedValue peeked;
  switch (record.attributes().peek(attribute, &peeked)) {
    case AttributeLock::Peek::kStored:
      return convert(&peeked.value());
    case AttributeLock::Peek::kAbsent:
      return convert(nullptr);
    case AttributeLock::Peek::kBusy:
      break;
  }
  // A write without the interpreter lock ran: the mutex is waited for
  // without it, so the value is copied out.
  std::optional<PyValue> value;
  {
    py::NativeScope native;
    value = record.stored_value(attribute);
  }
  return convert(value ? &*value : nullptr);
}

// ---- construction and destruction -------------------------------------------

int indexable_init(PyObject* self, PyObject* args, PyObject* kwargs);
int indexable_setattro(PyObject* self, PyObject* name, PyObject* value);

const py::Signature kNewSignature{"Indexable.__new__()", {}, 0, true, true};

// The values of the keywords, every name and value checked before any name
// is interned: keywords that cannot be stored change nothing.
std::vector<PyValue> keyword_values(const py::ParsedArgs& parsed) {
  std::vector<PyValue> values;
  values.reserve(parsed.var_keyword.size());
  for (const auto& [name, value] : parsed.var_keyword) {
    check_attribute_name(name);
    values.push_back(PyValue::from_python(value));
  }
  return values;
}

PyObject* indexable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::enter<PyObject*>(kNewSignature.display_name, nullptr, [&]() -> PyObject* {
    py::ParsedArgs parsed;
    if (!py::parse_tuple_dict(kNewSignature, args, kwargs, &parsed)) return nullptr;
    std::vector<PyValue> values = keyword_values(parsed);
    AttributeStore store;
    store.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      store.insert(intern_attribute_name(parsed.var_keyword[i].first).id, std::move(values[i]));
    }
    IndexableRecord record = IndexableRecord::make_owned(std::move(store));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // `record` frees the id
    new (&as_indexable(self)->record) IndexableRecord(std::move(record));
    // Only a class that keeps this __init__ (and the assignment it makes) is
    // sure to be initialised with the same dictionary, to the same effect.
    if (!values.empty() && type->tp_init == indexable_init &&
        type->tp_setattro == indexable_setattro) {
      as_indexable(self)->constructor_kwargs = Py_NewRef(kwargs);
    }
    return self;
  });
}

void indexable_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_indexable(self)->constructor_kwargs);
  as_indexable(self)->record.~IndexableRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

// The cycle collector sees the objects held by the attribute store, so that
// objects that refer to each other through their attributes are collected.
// Objects held by index structures are not reported: an indexed object stays
// alive while an index holds it. The store is only tried, since a collection
// runs wherever Python allocates, under whatever locks its thread holds; a
// busy one is skipped for this collection (reporting fewer references only
// delays collection).
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_indexable(self)->constructor_kwargs);
  const IndexableRecord& record = as_indexable(self)->record;
  if (!record.state) return 0;
  try {
    auto store = std::as_const(record.attributes()).try_lock();
    if (!store) return 0;
    int result = 0;
    (*store)->for_each([&](uint32_t, const PyValue& value) {
      if (result == 0) result = value.traverse(visit, arg);
    });
    return result;
  } catch (const InternalError&) {
    return 0;  // a poisoned store reports nothing
  }
}

// Breaks reference cycles through the attribute store of an unreachable
// object by emptying it.
int indexable_clear(PyObject* self) {
  Py_CLEAR(as_indexable(self)->constructor_kwargs);
  const IndexableRecord& record = as_indexable(self)->record;
  if (!record.state) return 0;
  AttributeStore released;
  try {
    auto store = record.attributes().try_lock();
    if (!store) return 0;
    std::swap(**store, released);
  } catch (const InternalError&) {
    return 0;
  }
  return 0;  // `released` drops its references here, outside the lock
}

// ---- attribute access --------------------------------------------------------

PyObject* raise_missing_attribute(PyObject* name) {
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_SetObject(PyExc_AttributeError, name);
  }
  return nullptr;
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  return py::enter<PyObject*>("Indexable.__getattribute__()", nullptr, [&]() -> PyObject* {
    if (!PyUnicode_Check(name)) return PyObject_GenericGetAttr(self, name);
    AttributeName attribute{};
    bool known = false;
    try {
      known = find_attribute_name(name, &attribute);
    } catch (const py::PythonError&) {
      PyErr_Clear();
      PyErr_SetString(PyExc_AttributeError, "Invalid attribute name");
      return raise_missing_attribute(name);
    }
    // Only storing an attribute interns its name; an unknown name cannot be
    // stored, so the ordinary lookup answers.
    if (known) {
      bool stored = false;
      PyObject* value = stored_object(as_indexable(self)->record, attribute.id, &stored);
      if (stored) return value;
    }
    PyObject* result = PyObject_GenericGetAttr(self, name);
    return result != nullptr ? result : raise_missing_attribute(name);
  });
}

// What an assignment takes out of the store: the value it replaces and the
// block a growth leaves, released by the caller with the interpreter lock.
struct Replaced {
  std::optional<PyValue> value;
  AttributeStore::Block block;
  // The old value held objects: departures from nested cores may wait for
  // the membership mutex to be let go (QueryMap::leave_deferred).
  bool held_objects = false;
};

// Updates every index of the object, then the store, all under the
// membership mutex so that concurrent writes to one object are serialised
// and every index agrees with the final stored value. Runs without the
// interpreter lock.
//
// A name beginning with "_" is indexed only by the bulk path; an index that
// holds such a name (it has a value index for it) is kept current like any
// other, and one that does not is left alone.
Replaced assign(const IndexableRecord& record, uint32_t attribute, bool indexed,
                const PyValue& value) {
  // The membership list is only read here: held, it keeps adds and removals
  // of this object from running between the index updates and the store.
  auto memberships = std::as_const(record.indexes()).lock();
  // Taking out an old value that holds objects may cascade back to this
  // object through nested cores; such a departure waits for the end.
  std::optional<QueryMap::MembershipHeld> held;
  if (!memberships->empty()) {
    std::optional<PyValue> old = record.stored_value(attribute);
    if (old && (old->kind() == ValueKind::Ind || old->kind() == ValueKind::Iterable)) {
      held.emplace(record.id);
    }
    for (const IndexMeta& entry : *memberships) {
      std::shared_ptr<IndexAPI> core = entry.lock();
      if (!core || (!indexed && !core->map_for(attribute))) continue;
      if (old) {
        core->replace_index(record.id, attribute, *old, value);
      } else {
        core->add_index(record.id, attribute, value);
      }
    }
  }
  PyValue stored = value;  // copied first: only the swap (or the insert) runs under the lock
  Replaced replaced;
  replaced.held_objects = held.has_value();
  auto store = record.attributes().lock();
  AttributeLock::NativeWrite write(record.attributes());
  replaced.value = store->insert(attribute, std::move(stored), &replaced.block);
  return replaced;
}

// The common cases that need no index work: an object in no index, or an
// assignment of a number, string or boolean identical to the stored one
// (which leaves every index as it is). The value is stored, or left in
// place, without releasing the interpreter lock. Every lock is only tried;
// returns false when the full path must run. An object that no index has
// held needs the store's mutex alone; one that has is stored to only when
// its membership list, held, is empty (which keeps adds away meanwhile).
bool assign_without_index_work(const IndexableRecord& record, uint32_t attribute, PyValue&& value,
                               Replaced* replaced) {
  auto store = record.attributes().try_lock();
  if (!store) return false;
  std::optional<PoisonMutex<MembershipList>::ReadGuard> memberships;
  if (record.attributes().ever_indexed.load(std::memory_order_relaxed)) {
    const PyValue* current = (*store)->get(attribute);
    if (current != nullptr && current->same_scalar(value)) return true;
    memberships = std::as_const(record.indexes()).try_lock();
    if (!memberships || !(*memberships)->empty()) return false;
  }
  if (PyValue* slot = (*store)->get(attribute)) {
    replaced->value.emplace(std::move(*slot));
    *slot = std::move(value);
  } else {
    (*store)->insert(attribute, std::move(value));
  }
  return true;
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return py::enter<int>("Indexable.__setattr__()", -1, [&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    if (!PyUnicode_Check(name)) {
      py::set_cannot_convert(name, "PyString", "name");
      return -1;
    }
    check_attribute_name(name);
    store_attribute(self, intern_attribute_name(name), PyValue::from_python(value));
    return 0;
  });
}

const py::Signature kInitSignature{"Indexable.__init__()", {}, 0, true, true};

// Assigns every keyword as an attribute, as `self.name = value` does; the
// positional arguments are accepted and ignored. Every value is converted
// before the first is stored. A class that replaces __setattr__ has it
// called for each keyword instead.
int indexable_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* applied = std::exchange(as_indexable(self)->constructor_kwargs, nullptr);
  const bool already_stored = applied != nullptr && kwargs == applied;
  Py_XDECREF(applied);
  if (already_stored || kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return 0;
  return py::enter<int>(kInitSignature.display_name, -1, [&]() -> int {
    py::ParsedArgs parsed;
    if (!py::parse_tuple_dict(kInitSignature, args, kwargs, &parsed)) return -1;
    if (Py_TYPE(self)->tp_setattro != indexable_setattro) {
      for (const auto& [name, value] : parsed.var_keyword) {
        if (PyObject_SetAttr(self, name, value) < 0) return -1;
      }
      return 0;
    }
    std::vector<PyValue> values = keyword_values(parsed);
    for (size_t i = 0; i < values.size(); ++i) {
      store_attribute(self, intern_attribute_name(parsed.var_keyword[i].first),
                      std::move(values[i]));
    }
    return 0;
  });
}

// ---- repr and dir -----------------------------------------------------------

PyObject* indexable_repr(PyObject* self) {
  return py::enter<PyObject*>("Indexable.__repr__()", nullptr, [&]() -> PyObject* {
    size_t count = 0;
    {
      py::NativeScope native;
      count = std::as_const(as_indexable(self)->record.attributes()).lock()->size();
    }
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", count);
  });
}

PyObject* indexable_dir(PyObject* self, const py::ParsedArgs&) {
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  py::OwnedRef result = py::OwnedRef::steal(py::check(PyList_New(0)));
  for (const auto& [attribute, value] : stored_attributes(self)) {
    py::OwnedRef item = py::OwnedRef::steal(py::check(py::str_of(names->name(attribute))));
    py::check(PyList_Append(result.get(), item.get()) == 0);
  }
  py::OwnedRef builtins = py::OwnedRef::steal(py::check(PyImport_ImportModule("builtins")));
  py::OwnedRef object_type =
      py::OwnedRef::steal(py::check(PyObject_GetAttrString(builtins.get(), "object")));
  py::OwnedRef defaults =
      py::OwnedRef::steal(py::check(PyObject_CallMethod(object_type.get(), "__dir__", "O", self)));
  if (!PyList_Check(defaults.get())) {
    py::set_cannot_convert(defaults.get(), "PyList");
    return nullptr;
  }
  const Py_ssize_t count = PyList_GET_SIZE(defaults.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::check(PyList_Append(result.get(), PyList_GET_ITEM(defaults.get(), i)) == 0);
  }
  return result.release();
}

const py::Method kDirMethod{{"Indexable.__dir__()", {}, 0}, indexable_dir};

PyMethodDef kIndexableMethods[] = {
    py::method_def<kReduceExMethod>(
        "__reduce_ex__",
        "__reduce_ex__($self, protocol, /)\n--\n\nHow copy and pickle rebuild the object: by "
        "__reduce__, unless the class overrides it."),
    py::method_def<kReduceMethod>(
        "__reduce__",
        "__reduce__($self, /)\n--\n\nA reconstructor that makes an empty object of the class, "
        "and the state of this one."),
    py::method_def<kGetStateMethod>(
        "__getstate__",
        "__getstate__($self, /)\n--\n\nA dict of the stored attributes by name, private ones "
        "included."),
    py::method_def<kSetStateMethod>(
        "__setstate__",
        "__setstate__($self, state, /)\n--\n\nAssigns every attribute of the dict state, as "
        "attribute assignments do."),
    py::method_def<kDirMethod>(
        "__dir__", "__dir__($self)\n--\n\nStored attribute names first, then the default listing."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kIndexableSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_init, reinterpret_cast<void*>(indexable_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_methods, kIndexableMethods},
    {Py_tp_doc,
     const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n"
                       "Base class of indexed objects. Keyword arguments become attributes; every "
                       "attribute assignment updates each index that holds the object.")},
    {0, nullptr},
};

PyType_Spec kIndexableSpec{
    "builtins.Indexable",
    static_cast<int>(sizeof(IndexableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kIndexableSlots,
};

}  // namespace

PyTypeObject* indexable_type() {
  static PyTypeObject* type = nullptr;  // kept for the life of the process
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kIndexableSpec));
    if (type != nullptr) register_indexable_type(type);
  }
  return type;
}

void store_attribute(PyObject* object, const AttributeName& attribute, PyValue value) {
  const IndexableRecord& record = as_indexable(object)->record;
  Replaced replaced;
  if (!assign_without_index_work(record, attribute.id, std::move(value), &replaced)) {
    // The membership mutex can be held by a thread that waits for index
    // locks: the interpreter lock is let go before any wait.
    py::NativeScope native;
    replaced = assign(record, attribute.id, attribute.indexed, value);
    if (replaced.held_objects) QueryMap::leave_deferred();
  }
  // `replaced` is released on return, with the interpreter lock held.
}

std::vector<std::pair<uint32_t, PyValue>> stored_attributes(PyObject* object) {
  py::NativeScope native;
  return snapshot_attributes(as_indexable(object)->record);
}

}  // namespace vantorel
