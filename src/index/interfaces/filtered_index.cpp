// FilteredIndex: a query result that can be narrowed, collected or rebased.
#include "common/no_destructor.h"
#include "index/core/query/query.h"
#include "index/interfaces/classes.h"
#include "index/interfaces/operations.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"

namespace vantorel {

namespace {

// A view holds the core it was taken from, not only the tables it reads:
// the core is what objects' memberships name, so while any view is alive
// assignments keep reaching the shared tables.
struct FilteredIndexObject {
  PyObject_HEAD std::shared_ptr<IndexAPI> core;
  std::shared_ptr<PoisonRwLock<IndexAPI::MapArray>> maps;
  std::shared_ptr<PoisonRwLock<IndexAPI::ItemTable>> items;
  Bitmap ids;
  uint64_t epoch;   // the item table's departure count before `ids` were evaluated
  PyObject* owner;  // the Index whose tables these are (strong; may be null)
};

FilteredIndexObject* as_filtered(PyObject* object) {
  return reinterpret_cast<FilteredIndexObject*>(object);
}

bool check_receiver(PyObject* self) {
  PyTypeObject* type = filtered_index_type();
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(self, type)) return true;
  py::set_cannot_convert(self, "FilteredIndex");
  return false;
}

void filtered_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FilteredIndexObject* object = as_filtered(self);
  object->core.~shared_ptr();
  Py_CLEAR(object->owner);
  object->maps.~shared_ptr();
  object->items.~shared_ptr();
  object->ids.~Bitmap();
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
  FilteredIndexObject* view = as_filtered(self);
  Py_CLEAR(view->owner);
  std::shared_ptr<IndexAPI> core;
  std::shared_ptr<PoisonRwLock<IndexAPI::MapArray>> maps;
  std::shared_ptr<PoisonRwLock<IndexAPI::ItemTable>> items;
  try {
    const std::shared_ptr<IndexAPI>& empty = empty_core();
    core = std::exchange(view->core, empty);
    maps = std::exchange(view->maps, empty->index);
    items = std::exchange(view->items, empty->items);
    view->ids = Bitmap();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 0;  // the tables are let go here
}

// Evaluates `exprs` as a conjunction over the view's ids, without the
// interpreter lock.
Bitmap evaluate_in_view(FilteredIndexObject* view, const std::vector<QueryExpr>& exprs) {
  py::AllowThreads released;
  auto maps = view->maps->read();
  return evaluate_and_queries_vec(*maps, view->ids, exprs);
}

PyObject* filtered_reduced(PyObject* self, const py::ParsedArgs& args) {
  std::vector<QueryExpr> exprs = kwargs_to_query(args.var_keyword);
  FilteredIndexObject* view = as_filtered(self);
  Bitmap result = evaluate_in_view(view, exprs);
  return make_filtered_index(view->owner, view->core, std::move(result), view->epoch);
}

PyObject* filtered_reduced_query(PyObject* self, const py::ParsedArgs& args) {
  const QueryExpr* query = query_expr_of(args.values[0], "query");
  if (query == nullptr || !check_query(*query)) return nullptr;
  std::vector<QueryExpr> exprs{*query};
  FilteredIndexObject* view = as_filtered(self);
  Bitmap result = evaluate_in_view(view, exprs);
  return make_filtered_index(view->owner, view->core, std::move(result), view->epoch);
}

ObjectSet object_set_of(PyObject* self) {
  FilteredIndexObject* view = as_filtered(self);
  return ObjectSet{view->maps, view->items, nullptr, &view->ids, view->epoch};
}

PyObject* filtered_count(PyObject* self, const py::ParsedArgs&) {
  return count_of(object_set_of(self));
}

PyObject* filtered_value_counts(PyObject* self, const py::ParsedArgs& args) {
  return value_counts_of(object_set_of(self), args);
}

PyObject* filtered_sorted_by(PyObject* self, const py::ParsedArgs& args) {
  return sorted_by_of(object_set_of(self), args, "FilteredIndex.sorted_by()");
}

PyObject* filtered_collect(PyObject* self, const py::ParsedArgs&) {
  FilteredIndexObject* view = as_filtered(self);
  return collect_items(*view->items, view->ids, view->epoch);
}

PyObject* filtered_rebase(PyObject* self, const py::ParsedArgs&) {
  FilteredIndexObject* view = as_filtered(self);
  std::shared_ptr<IndexAPI> core = IndexAPI::make();
  std::vector<StoredItem> objects;
  {
    py::AllowThreads released;
    auto table = view->items->read();
    view->ids.for_each([&](uint32_t id) {
      if (table->answers(id, view->epoch)) objects.push_back((*table)[id]);
    });
  }
  take_own_references(objects);
  {
    py::AllowThreads released;
    // Every stored attribute of the objects is indexed in the new index.
    core->add_object_many(objects, /*index_private=*/true);
    objects.clear();
  }
  return make_index(std::move(core));
}

const py::Method kReduced{
    {"FilteredIndex.reduced()", {}, 0, false, true}, filtered_reduced, check_receiver};
const py::Method kReducedQuery{
    {"FilteredIndex.reduced_query()", {"query"}, 1}, filtered_reduced_query, check_receiver};
const py::Method kCollect{{"FilteredIndex.collect()", {}, 0}, filtered_collect, check_receiver};
const py::Method kRebase{{"FilteredIndex.rebase()", {}, 0}, filtered_rebase, check_receiver};
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
    py::method_def<kCollect>(
        "collect", "collect($self)\n--\n\nThe matching objects, in ascending item id order."),
    py::method_def<kRebase>(
        "rebase", "rebase($self)\n--\n\nA new, independent Index holding exactly these objects."),
    py::method_def<kCount>("count", kCountDoc),
    py::method_def<kValueCounts>("value_counts", kValueCountsDoc),
    py::method_def<kSortedBy>("sorted_by", kSortedByDoc),
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
    {Py_tp_doc, const_cast<char*>("The result of a query: a fixed set of objects of one index.")},
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

PyObject* make_filtered_index(PyObject* owner, std::shared_ptr<IndexAPI> core, Bitmap ids,
                              uint64_t epoch) {
  PyTypeObject* type = filtered_index_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FilteredIndexObject* object = as_filtered(self);
  new (&object->maps) std::shared_ptr<PoisonRwLock<IndexAPI::MapArray>>(core->index);
  new (&object->items) std::shared_ptr<PoisonRwLock<IndexAPI::ItemTable>>(core->items);
  new (&object->core) std::shared_ptr<IndexAPI>(std::move(core));
  new (&object->ids) Bitmap(std::move(ids));
  object->epoch = epoch;
  object->owner = Py_XNewRef(owner);
  return self;
}

PyObject* collect_items(const PoisonRwLock<IndexAPI::ItemTable>& items, const Bitmap& ids,
                        std::optional<uint64_t> epoch) {
  std::vector<PyObject*> objects;
  objects.reserve(ids.cardinality());
  {
    auto table =
        py::lock_without_stalling([&] { return items.try_read(); }, [&] { return items.read(); });
    ids.for_each([&](uint32_t id) {
      const bool reported =
          epoch ? table->answers(id, *epoch) : id < table->size() && !(*table)[id].vacant();
      if (reported) objects.push_back((*table)[id].python->get());
    });
    for (PyObject* object : objects) Py_INCREF(object);
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
