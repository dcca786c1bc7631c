// FilteredIndex: a query result that can be narrowed, collected or rebased.
#include "classes/classes.h"
#include "classes/operations.h"
#include "core/query/query.h"
#include "native/common/no_destructor.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"

namespace vantorel {

namespace {

struct FilteredIndexObject {
  PyObject_HEAD FilteredIndex view;
  PyObject* owner;  // the Index whose tables these are (strong; may be null)
};

FilteredIndexObject* as_filtered(PyObject* object) {
  return reinterpret_cast<FilteredIndexObject*>(object);
}

bool check_receiver(PyObject* self) {
  return is_instance(self, filtered_index_type(), "FilteredIndex");
}

void filtered_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FilteredIndexObject* object = as_filtered(self);
  Py_CLEAR(object->owner);
  object->view.~FilteredIndex();
  type->tp_free(self);
  Py_DECREF(type);
}

// The view reaches the objects of the shared table through its Index,
// which reports them.
int filtered_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_filtered(self)->owner);
  return 0;
}

// Tables that no view writes to, for the views that the collector clears.
const std::shared_ptr<IndexAPI>& empty_core() {
  static NoDestructor<std::shared_ptr<IndexAPI>> core(IndexAPI::make());
  return *core;
}

// Breaks a cycle through an unreachable view: it lets its Index go and reads
// empty tables from then on.
int filtered_clear(PyObject* self) {
  FilteredIndexObject* object = as_filtered(self);
  Py_CLEAR(object->owner);
  std::optional<FilteredIndex> released;
  try {
    released.emplace(std::exchange(object->view, FilteredIndex(empty_core(), Bitmap(), 0)));
  } catch (const std::bad_alloc&) {
    return 0;
  } catch (const InternalError&) {
    return 0;  // no empty bitmap could be made: the view is kept
  }
  return 0;  // the tables are let go here
}

// A selection (reduced_of, reduced_query_of, query_of) over the view.
template <Selection kSelect>
PyObject* selected(PyObject* self, const py::ParsedArgs& args) {
  return kSelect(as_filtered(self)->owner, as_filtered(self)->view, args);
}

PyObject* filtered_count(PyObject* self, const py::ParsedArgs&) {
  return count_of(as_filtered(self)->view);
}

PyObject* filtered_value_counts(PyObject* self, const py::ParsedArgs& args) {
  return value_counts_of(as_filtered(self)->view, args);
}

PyObject* filtered_sorted_by(PyObject* self, const py::ParsedArgs& args) {
  return sorted_by_of(as_filtered(self)->view, args, "FilteredIndex.sorted_by()");
}

PyObject* collect_view(PyObject* self) {
  const FilteredIndex& view = as_filtered(self)->view;
  return collect_items(view, *view.fixed_ids());
}

PyObject* filtered_collect(PyObject* self, const py::ParsedArgs&) {
  return collect_view(self);
}

Py_ssize_t filtered_length(PyObject* self) {
  return py::enter<Py_ssize_t>("FilteredIndex.__len__()", -1,
                               [&] { return length_of(as_filtered(self)->view); });
}

int filtered_contains(PyObject* self, PyObject* object) {
  return py::enter<int>("FilteredIndex.__contains__()", -1,
                        [&] { return contains_of(as_filtered(self)->view, object); });
}

// Iterates over what collect() returns when the iteration starts.
PyObject* filtered_iter(PyObject* self) {
  return py::enter<PyObject*>("FilteredIndex.__iter__()", nullptr, [&]() -> PyObject* {
    py::OwnedRef objects = py::OwnedRef::steal(collect_view(self));
    return objects ? PyObject_GetIter(objects.get()) : nullptr;
  });
}

PyObject* filtered_rebase(PyObject* self, const py::ParsedArgs&) {
  const FilteredIndex& view = as_filtered(self)->view;
  std::shared_ptr<IndexAPI> core = IndexAPI::make();
  std::vector<StoredItem> objects;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    objects = view.items();
  }
  take_own_references(objects);
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    // Every stored attribute of the objects is indexed in the new index.
    core->add_object_many(objects, /*index_private=*/true);
    objects.clear();
  }
  return make_index(std::move(core));
}

// A view shares its index's tables, which a pickle cannot carry apart from
// that index: refused, with the way to an Index that pickles.
PyObject* filtered_reduce_ex(PyObject*, const py::ParsedArgs&) {
  PyErr_SetString(PyExc_TypeError,
                  "a FilteredIndex does not pickle or copy: rebase() it into an Index of its "
                  "objects, which does");
  return nullptr;
}

const py::Method kReduced{
    {"FilteredIndex.reduced()", {}, 0, false, true}, selected<reduced_of>, check_receiver};
const py::Method kReducedQuery{
    {"FilteredIndex.reduced_query()", {"query"}, 1}, selected<reduced_query_of>, check_receiver};
const py::Method kQuery{{"FilteredIndex.query()", {"text"}, 1}, selected<query_of>, check_receiver};
const py::Method kCollect{{"FilteredIndex.collect()", {}, 0}, filtered_collect, check_receiver};
const py::Method kRebase{{"FilteredIndex.rebase()", {}, 0}, filtered_rebase, check_receiver};
const py::Method kReduceEx{
    {"FilteredIndex.__reduce_ex__()", {"protocol"}, 1}, filtered_reduce_ex, check_receiver};
const py::Method kCount{{"FilteredIndex.count()", {}, 0}, filtered_count, check_receiver};
const py::Method kValueCounts{
    {"FilteredIndex.value_counts()", {"attr", "limit"}, 1}, filtered_value_counts, check_receiver};
const py::Method kSortedBy{{"FilteredIndex.sorted_by()", {"attr", "descending", "limit"}, 1},
                           filtered_sorted_by,
                           check_receiver};

PyMethodDef kFilteredMethods[] = {
    py::method_def<kReduced>(
        "reduced",
        "reduced($self, **kwargs)\n--\n\nThe objects of this result whose attributes equal the "
        "keywords."),
    py::method_def<kReducedQuery>(
        "reduced_query",
        "reduced_query($self, query)\n--\n\nThe objects of this result that match a PyQueryExpr."),
    py::method_def<kQuery>("query", kQueryDoc),
    py::method_def<kCollect>(
        "collect", "collect($self)\n--\n\nThe matching objects, in ascending item id order."),
    py::method_def<kRebase>(
        "rebase", "rebase($self)\n--\n\nA new, independent Index holding exactly these objects."),
    py::method_def<kCount>("count", kCountDoc),
    py::method_def<kValueCounts>("value_counts", kValueCountsDoc),
    py::method_def<kSortedBy>("sorted_by", kSortedByDoc),
    py::method_def<kReduceEx>(
        "__reduce_ex__",
        "__reduce_ex__($self, protocol)\n--\n\nRefused: a FilteredIndex does not pickle or "
        "copy. rebase() it into an Index, which does."),
    class_getitem_def(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* filtered_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FilteredIndex");
  return nullptr;
}

PyType_Slot kFilteredSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(filtered_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filtered_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(filtered_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(filtered_clear)},
    {Py_tp_methods, kFilteredMethods},
    {Py_sq_length, reinterpret_cast<void*>(filtered_length)},
    {Py_sq_contains, reinterpret_cast<void*>(filtered_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(filtered_iter)},
    {Py_tp_doc, const_cast<char*>("The result of a query: a fixed set of objects of one index. "
                                  "It does not pickle or copy: rebase() it into an Index, which "
                                  "does.")},
    {0, nullptr},
};

PyType_Spec kFilteredSpec{"builtins.FilteredIndex", static_cast<int>(sizeof(FilteredIndexObject)),
                          0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kFilteredSlots};

}  // namespace

PyTypeObject* filtered_index_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kFilteredSpec));
  return type;
}

PyObject* make_filtered_index(PyObject* owner, FilteredIndex view) {
  PyTypeObject* type = filtered_index_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FilteredIndexObject* object = as_filtered(self);
  new (&object->view) FilteredIndex(std::move(view));
  object->owner = Py_XNewRef(owner);
  return self;
}

PyObject* collect_items(const FilteredIndex& set, const Bitmap& ids) {
  std::vector<PyObject*> objects;
  objects.reserve(ids.cardinality());
  if (std::optional<HeldItems> items = set.try_read_items()) {
    items->for_each_at(ids, [&](const StoredItem& item) { objects.push_back(item.python->get()); });
    for (PyObject* object : objects) Py_INCREF(object);
  } else {
    // A busy table is waited for without the interpreter lock: the objects'
    // shared handles are copied out, and referenced once it is back.
    std::vector<py::SharedRef> handles;
    {
      py::NativeScope native;
      set.read_items().for_each_at(ids,
                                   [&](const StoredItem& item) { handles.push_back(item.python); });
    }
    for (const py::SharedRef& handle : handles) objects.push_back(handle->new_reference());
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects.size()));
  if (list == nullptr) {
    for (PyObject* object : objects) Py_DECREF(object);
    return nullptr;
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects[i]);
  }
  return list;
}

}  // namespace vantorel
