// Index: the Python class through which an index is built and queried.
#include <array>
#include <span>
#include <utility>

#include "classes/classes.h"
#include "classes/index_state.h"
#include "classes/indexable.h"
#include "classes/operations.h"
#include "core/query/point_query.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/ref.h"

namespace vantorel {

namespace {

struct IndexObject {
  PyObject_HEAD std::shared_ptr<IndexAPI> core;
  // Calls that are changing the item table without the interpreter lock
  // (changed only with it held).
  Py_ssize_t writers_in_flight;
};

IndexObject* as_index(PyObject* object) {
  return reinterpret_cast<IndexObject*>(object);
}

IndexAPI& core_of(PyObject* self) {
  return *as_index(self)->core;
}

// Marks the scope of a call that may change the item table while the
// interpreter lock is released. Made and ended with the lock held.
class WritingScope {
 public:
  explicit WritingScope(PyObject* self) : index_(as_index(self)) { ++index_->writers_in_flight; }
  ~WritingScope() { --index_->writers_in_flight; }
  WritingScope(const WritingScope&) = delete;
  WritingScope& operator=(const WritingScope&) = delete;

 private:
  IndexObject* index_;
};

bool check_receiver(PyObject* self) {
  return is_instance(self, index_type(), "Index");
}

const py::Signature kNewSignature{"Index.__new__()", {}, 0};

PyObject* index_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return py::enter<PyObject*>(kNewSignature.display_name, nullptr, [&]() -> PyObject* {
    py::ParsedArgs parsed;
    if (!py::parse_tuple_dict(kNewSignature, args, kwargs, &parsed)) return nullptr;
    return make_index(IndexAPI::make());
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // Releasing the core may release many objects, here with the interpreter
  // lock held.
  as_index(self)->core.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// The cycle collector sees the objects of the item table: each entry holds
// a reference of its own (tables never share an entry's reference), and the
// views of this index reach the table through this object. The attribute
// values in the value indexes are not reported: the objects' attribute
// stores report them. Only the calls counted in `writers_in_flight` write
// the table; while one runs, nothing is reported, so that every pass of one
// collection (all made with the interpreter lock held) sees the same
// references. A table found busy anyway is skipped.
int index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  IndexObject* index = as_index(self);
  if (!index->core || index->writers_in_flight > 0) return 0;
  try {
    std::optional<HeldItems> table = index->core->try_read_items();
    if (!table) return 0;
    int result = 0;
    table->for_each_stored([&](const StoredItem& item) {
      if (result == 0) result = visit(item.python->get(), arg);
    });
    return result;
  } catch (const InternalError&) {
    return 0;  // a poisoned table reports nothing
  }
}

// Breaks a cycle through an unreachable index by giving its core up for an
// empty one. Views share the core's tables but keep this object alive, so
// none of them is reachable here.
int index_clear(PyObject* self) {
  std::shared_ptr<IndexAPI> released;
  try {
    released = std::exchange(as_index(self)->core, IndexAPI::make());
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 0;  // `released` drops the tables here
}

constexpr char kObjsStrRefusal[] = "expected a collection of Indexable objects, not a str";

// The argument `py_ref` as a stored item; nullopt with TypeError set when it
// is not Indexable.
std::optional<StoredItem> extract_object(PyObject* object) {
  if (!is_indexable(object)) {
    py::set_cannot_convert(object, "Indexable", "py_ref");
    return std::nullopt;
  }
  return stored_item_of(object);
}

PyObject* add_object(PyObject* self, const py::ParsedArgs& args) {
  std::optional<StoredItem> item = extract_object(args.values[0]);
  if (!item) return nullptr;
  {
    WritingScope writing(self);
    py::NativeScope native;
    core_of(self).add_object(*item);
  }
  Py_RETURN_NONE;
}

// Every element of `objs` (any iterable but a str), as a strong reference;
// nullopt with an error set when one is not Indexable or reading fails. The
// whole argument is read before the caller changes anything.
std::optional<std::vector<py::OwnedRef>> indexables_in(PyObject* objs) {
  std::vector<py::OwnedRef> objects;
  objects.reserve(reserve_hint(objs));
  const bool ok = for_each_in_iterable(objs, "objs", kObjsStrRefusal, [&](PyObject* item) {
    if (!is_indexable(item)) {
      py::set_cannot_convert(item, "Indexable", "objs");
      return false;
    }
    objects.push_back(py::OwnedRef::borrow(item));
    return true;
  });
  if (!ok) return std::nullopt;
  return objects;
}

// Every element of `objs` as a stored item; nothing is added unless all
// elements are Indexable.
std::optional<std::vector<StoredItem>> extract_objects(PyObject* objs) {
  std::optional<std::vector<py::OwnedRef>> objects = indexables_in(objs);
  if (!objects) return std::nullopt;
  std::vector<StoredItem> items;
  items.reserve(objects->size());
  for (const py::OwnedRef& object : *objects) items.push_back(stored_item_of(object.get()));
  return items;
}

PyObject* add_object_many(PyObject* self, const py::ParsedArgs& args) {
  std::optional<std::vector<StoredItem>> items = extract_objects(args.values[0]);
  if (!items) return nullptr;
  {
    WritingScope writing(self);
    py::NativeScope released(py::NativeScope::kReleaseNow);
    core_of(self).add_object_many(*items, /*index_private=*/true);
    items->clear();
  }
  Py_RETURN_NONE;
}

PyObject* remove_object(PyObject* self, const py::ParsedArgs& args) {
  std::optional<StoredItem> item = extract_object(args.values[0]);
  if (!item) return nullptr;
  {
    WritingScope writing(self);
    py::NativeScope released(py::NativeScope::kReleaseNow);
    core_of(self).remove_object(*item->record);
  }
  Py_RETURN_NONE;
}

PyObject* remove_object_many(PyObject* self, const py::ParsedArgs& args) {
  // The records are read in place, while these references keep their
  // objects alive.
  std::optional<std::vector<py::OwnedRef>> objects = indexables_in(args.values[0]);
  if (!objects) return nullptr;
  std::vector<const IndexableRecord*> records;
  records.reserve(objects->size());
  for (const py::OwnedRef& object : *objects) {
    records.push_back(&as_indexable(object.get())->record);
  }
  std::vector<StoredItem> vacated;
  {
    WritingScope writing(self);
    py::NativeScope released(py::NativeScope::kReleaseNow);
    vacated = core_of(self).remove_object_many(records);
  }
  // The references go here, under the interpreter lock, which spares the
  // queue of deferred releases: the vacated items' first, each asked for
  // ahead of its turn, then (with their objects now cached) `objects`.
  release_items(vacated);
  Py_RETURN_NONE;
}

// The live objects of the index, as a set.
FilteredIndex live_set_of(PyObject* self) {
  return FilteredIndex(as_index(self)->core);
}

PyObject* count(PyObject* self, const py::ParsedArgs&) {
  return count_of(live_set_of(self));
}

PyObject* value_counts(PyObject* self, const py::ParsedArgs& args) {
  return value_counts_of(live_set_of(self), args);
}

PyObject* sorted_by(PyObject* self, const py::ParsedArgs& args) {
  return sorted_by_of(live_set_of(self), args, "Index.sorted_by()");
}

// The live ids of the core that match every keyword.
Bitmap match_keywords(IndexAPI& core, const std::vector<QueryExpr>& exprs) {
  py::NativeScope released(py::NativeScope::kReleaseNow);
  return core.match(exprs);
}

PyObject* reduce(PyObject* self, const py::ParsedArgs& args) {
  std::vector<QueryExpr> exprs = kwargs_to_query(args.var_keyword);
  IndexAPI& core = core_of(self);
  Bitmap keep = match_keywords(core, exprs);
  {
    WritingScope writing(self);
    py::NativeScope released(py::NativeScope::kReleaseNow);
    core.keep_only_from_bitmap(keep);
  }
  Py_RETURN_NONE;
}

// A selection (reduced_of, reduced_query_of, query_of) over the live objects.
template <Selection kSelect>
PyObject* selected(PyObject* self, const py::ParsedArgs& args) {
  return kSelect(self, live_set_of(self), args);
}

PyObject* watch(PyObject* self, const py::ParsedArgs& args) {
  return watch_of(self, as_index(self)->core, args);
}

// The objects of `ids` (live ids of the core of `self`) as a list, read with
// the interpreter lock held when the item table is free.
// The objects are referenced while the table is read: PyList_New may run the
// collector, whose finalizers may take objects out of the index (and free
// those that only the index held) once the table is let go.
PyObject* collect_point(PyObject* self, const SmallIds& ids) {
  std::array<py::OwnedRef, SmallIds::kCapacity> objects;
  size_t count = 0;
  {
    std::optional<HeldItems> table = core_of(self).try_read_items();
    if (!table) {
      Bitmap busy;
      busy.add_many(ids.begin(), ids.size());
      return collect_items(live_set_of(self), busy);
    }
    table->for_each_at(ids, [&](const StoredItem& item) {
      objects[count++] = py::OwnedRef::borrow(item.python->get());
    });
  }  // let go before PyList_New, which may run the collector
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects[i].release());
  }
  return list;
}

constexpr size_t kMaxPointTerms = 4;

// The keywords as point terms, when there are at most kMaxPointTerms and
// every value is an exact int, float or str. Otherwise false, with no error
// set: the general path converts the keywords (and raises what they raise).
// The terms view the str objects' UTF-8 buffers, valid for the call.
bool point_terms_of(const py::ParsedArgs& args, std::array<PointTerm, kMaxPointTerms>& terms) {
  const auto& keywords = args.var_keyword;
  if (keywords.empty() || keywords.size() > terms.size()) return false;
  for (size_t i = 0; i < keywords.size(); ++i) {
    const auto [name, value] = keywords[i];
    PointTerm& term = terms[i];
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) break;
    term.attr = std::string_view(text, static_cast<size_t>(length));
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
      text = PyUnicode_AsUTF8AndSize(value, &length);
      if (text == nullptr) break;
      term.value = QueryKey::string(std::string_view(text, static_cast<size_t>(length)));
    } else if (type == &PyLong_Type) {
      int overflow = 0;
      const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0 || (number == -1 && PyErr_Occurred())) break;
      term.value = QueryKey::number(static_cast<int64_t>(number));
    } else if (type == &PyFloat_Type) {
      term.value = QueryKey::number(PyFloat_AS_DOUBLE(value));
    } else {
      return false;
    }
    if (i + 1 == keywords.size()) return true;
  }
  PyErr_Clear();
  return false;
}

PyObject* get_by_attribute(PyObject* self, const py::ParsedArgs& args) {
  IndexAPI& core = core_of(self);
  // A handful of matches: answered from the per-value sets, without
  // releasing the interpreter lock.
  std::array<PointTerm, kMaxPointTerms> terms;
  if (point_terms_of(args, terms)) {
    std::span<const PointTerm> given(terms.data(), args.var_keyword.size());
    if (std::optional<SmallIds> ids = point_query(core, given)) return collect_point(self, *ids);
  }
  std::vector<QueryExpr> exprs = kwargs_to_query(args.var_keyword);
  Bitmap result = match_keywords(core, exprs);
  return collect_items(live_set_of(self), result);
}

PyObject* collect_live(PyObject* self) {
  IndexAPI& core = core_of(self);
  Bitmap ids;
  {
    py::NativeScope native;
    ids = core.live_ids();
  }
  return collect_items(live_set_of(self), ids);
}

PyObject* collect(PyObject* self, const py::ParsedArgs&) {
  return collect_live(self);
}

Py_ssize_t index_length(PyObject* self) {
  return py::enter<Py_ssize_t>("Index.__len__()", -1, [&] { return length_of(live_set_of(self)); });
}

int index_contains(PyObject* self, PyObject* object) {
  return py::enter<int>("Index.__contains__()", -1,
                        [&] { return contains_of(live_set_of(self), object); });
}

// Iterates over what collect() returns when the iteration starts.
PyObject* index_iter(PyObject* self) {
  return py::enter<PyObject*>("Index.__iter__()", nullptr, [&]() -> PyObject* {
    py::OwnedRef objects = py::OwnedRef::steal(collect_live(self));
    return objects ? PyObject_GetIter(objects.get()) : nullptr;
  });
}

PyObject* union_with(PyObject* self, const py::ParsedArgs& args) {
  PyObject* other = args.values[0];
  if (!is_instance(other, index_type(), "Index", "other")) return nullptr;
  std::shared_ptr<IndexAPI> source = as_index(other)->core;
  IndexAPI& receiver = core_of(self);
  if (source.get() == &receiver) Py_RETURN_NONE;
  // The objects of `other` are added to the receiver from their current
  // attribute values: every value, string, element and nested object
  // becomes reachable through the receiver, and the receiver joins the
  // objects' memberships. No lock of `other` is held while the receiver is
  // written, so opposite unions cannot wait on each other.
  std::vector<StoredItem> items;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    items = source->live_items();
  }
  take_own_references(items);
  {
    WritingScope writing(self);
    py::NativeScope released(py::NativeScope::kReleaseNow);
    receiver.add_object_many(items, /*index_private=*/true);
    items.clear();
  }
  Py_RETURN_NONE;
}

// (_restore_index, (), state): pickles name the module function, which makes
// an empty Index, and the state goes to __setstate__ once the index is in
// the memo, so objects that refer back to the index pickle too.
PyObject* index_reduce(PyObject* self, const py::ParsedArgs&) {
  static PyObject* restore = nullptr;  // one reference, kept for the life of the process
  if (restore == nullptr) {
    py::OwnedRef module = py::OwnedRef::steal(py::check(PyImport_ImportModule("Vantorel")));
    restore = py::check(PyObject_GetAttrString(module.get(), "_restore_index"));
  }
  py::OwnedRef state = py::OwnedRef::steal(index_state(core_of(self)));
  return Py_BuildValue("(O()O)", restore, state.get());
}

// Adds the objects of `state` (a state of index_state.h) to the index at
// `self`.
void restore_into(PyObject* self, PyObject* state) {
  IndexState restored = read_index_state(state);
  WritingScope writing(self);
  py::NativeScope released(py::NativeScope::kReleaseNow);
  restore_index_state(core_of(self), restored);
  restored.items.clear();  // released here, without the interpreter lock, like add_object_many's
}

PyObject* index_setstate(PyObject* self, const py::ParsedArgs& args) {
  uint64_t live = 0;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    live = core_of(self).count();
  }
  if (live != 0) {
    PyErr_SetString(PyExc_ValueError,
                    "Index.__setstate__() restores a pickled state into an empty Index");
    return nullptr;
  }
  restore_into(self, args.values[0]);
  Py_RETURN_NONE;
}

// A new index over the same objects, holding what this one holds.
PyObject* index_copy(PyObject* self, const py::ParsedArgs&) {
  py::OwnedRef state = py::OwnedRef::steal(index_state(core_of(self)));
  py::OwnedRef copy = py::OwnedRef::steal(py::check(make_index(IndexAPI::make())));
  restore_into(copy.get(), state.get());
  return copy.release();
}

PyObject* restore_index(PyObject* /*module*/, const py::ParsedArgs&) {
  return make_index(IndexAPI::make());
}

const py::Method kAddObject{{"Index.add_object()", {"py_ref"}, 1}, add_object, check_receiver};
const py::Method kAddObjectMany{
    {"Index.add_object_many()", {"objs"}, 1}, add_object_many, check_receiver};
const py::Method kReduce{{"Index.reduce()", {}, 0, false, true}, reduce, check_receiver};
const py::Method kReduced{
    {"Index.reduced()", {}, 0, false, true}, selected<reduced_of>, check_receiver};
const py::Method kReducedQuery{
    {"Index.reduced_query()", {"query"}, 1}, selected<reduced_query_of>, check_receiver};
const py::Method kQuery{{"Index.query()", {"text"}, 1}, selected<query_of>, check_receiver};
const py::Method kWatch{
    {"Index.watch()", {"expr", "on_enter", "on_leave"}, 1}, watch, check_receiver};
const py::Method kGetByAttribute{
    {"Index.get_by_attribute()", {}, 0, false, true}, get_by_attribute, check_receiver};
const py::Method kCollect{{"Index.collect()", {}, 0}, collect, check_receiver};
const py::Method kUnionWith{{"Index.union_with()", {"other"}, 1}, union_with, check_receiver};
const py::Method kRemoveObject{
    {"Index.remove_object()", {"py_ref"}, 1}, remove_object, check_receiver};
const py::Method kRemoveObjectMany{
    {"Index.remove_object_many()", {"objs"}, 1}, remove_object_many, check_receiver};
const py::Method kIndexReduce{{"Index.__reduce__()", {}, 0}, index_reduce, check_receiver};
const py::Method kSetState{{"Index.__setstate__()", {"state"}, 1}, index_setstate, check_receiver};
const py::Method kCopy{{"Index.__copy__()", {}, 0}, index_copy, check_receiver};
const py::Method kRestoreIndexMethod{{"_restore_index()", {}, 0}, restore_index};

PyMethodDef kRestoreIndex = py::method_def<kRestoreIndexMethod>(
    "_restore_index",
    "_restore_index()\n--\n\nAn empty Index, for Index.__setstate__: the reconstructor of "
    "pickles.");

const py::Method kCount{{"Index.count()", {}, 0}, count, check_receiver};
const py::Method kValueCounts{
    {"Index.value_counts()", {"attr", "limit"}, 1}, value_counts, check_receiver};
const py::Method kSortedBy{
    {"Index.sorted_by()", {"attr", "descending", "limit"}, 1}, sorted_by, check_receiver};

PyMethodDef kIndexMethods[] = {
    py::method_def<kAddObject>("add_object",
                               "add_object($self, py_ref)\n--\n\nAdds one Indexable object."),
    py::method_def<kAddObjectMany>("add_object_many",
                                   "add_object_many($self, objs)\n--\n\nAdds the Indexable objects "
                                   "of an iterable in one pass."),
    py::method_def<kReduce>(
        "reduce", "reduce($self, **kwargs)\n--\n\nKeeps only the objects matching the keywords."),
    py::method_def<kReduced>(
        "reduced",
        "reduced($self, **kwargs)\n--\n\nThe objects whose attributes equal the keywords."),
    py::method_def<kReducedQuery>(
        "reduced_query", "reduced_query($self, query)\n--\n\nThe objects matching a PyQueryExpr."),
    py::method_def<kQuery>("query", kQueryDoc),
    py::method_def<kWatch>(
        "watch",
        "watch($self, expr, on_enter=None, on_leave=None)\n--\n\nA LiveResult: at every moment, "
        "the objects of this index that match the PyQueryExpr `expr`, kept current by adds, "
        "removals and assignments. on_enter(obj) and on_leave(obj) are called after each change "
        "of membership, on the thread that made it; a callback that raises makes the statement "
        "that made the change raise (the change stays made)."),
    py::method_def<kGetByAttribute>(
        "get_by_attribute",
        "get_by_attribute($self, **kwargs)\n--\n\nThe list of objects matching the keywords."),
    py::method_def<kCollect>(
        "collect", "collect($self)\n--\n\nEvery object of the index, in ascending item id order."),
    py::method_def<kUnionWith>(
        "union_with", "union_with($self, other)\n--\n\nAdds every object of another index."),
    py::method_def<kRemoveObject>(
        "remove_object",
        "remove_object($self, py_ref)\n--\n\nTakes one Indexable object out of the index (an "
        "object that is not in it is ignored)."),
    py::method_def<kRemoveObjectMany>(
        "remove_object_many",
        "remove_object_many($self, objs)\n--\n\nTakes the Indexable objects of an iterable out of "
        "the index; nothing is removed unless every element is Indexable."),
    py::method_def<kCount>("count", kCountDoc),
    py::method_def<kValueCounts>("value_counts", kValueCountsDoc),
    py::method_def<kSortedBy>("sorted_by", kSortedByDoc),
    py::method_def<kIndexReduce>(
        "__reduce__",
        "__reduce__($self)\n--\n\nThe pickled form: every object of the index in one list, "
        "and which private attributes (names beginning with '_') it holds for each. Loaded, it "
        "is a new Index over copies of the objects that answers every query as this one does."),
    py::method_def<kSetState>(
        "__setstate__",
        "__setstate__($self, state)\n--\n\nAdds the objects of a pickled state to this empty "
        "Index, indexing what the pickled index indexed."),
    py::method_def<kCopy>("__copy__",
                          "__copy__($self)\n--\n\nA new Index over the same objects, "
                          "indexing what this one indexes."),
    class_getitem_def(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kIndexSlots[] = {
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
    {Py_tp_methods, kIndexMethods},
    {Py_tp_doc,
     const_cast<char*>("Index()\n--\n\nAn index over the attributes of Indexable objects.")},
    {0, nullptr},
};

PyType_Spec kIndexSpec{"builtins.Index", static_cast<int>(sizeof(IndexObject)), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kIndexSlots};

}  // namespace

PyTypeObject* index_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kIndexSpec));
  return type;
}

void take_own_references(std::vector<StoredItem>& items) {
  for (StoredItem& item : items) item = stored_item_of(item.python->get());
}

PyMethodDef* restore_index_method() {
  return &kRestoreIndex;
}

PyObject* make_index(std::shared_ptr<IndexAPI> core) {
  PyTypeObject* type = index_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_index(self)->core) std::shared_ptr<IndexAPI>(std::move(core));
  return self;
}

}  // namespace vantorel
