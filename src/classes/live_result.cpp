// LiveResult: a query result that follows the objects of its index, and the
// delivery of its notifications.
#include <optional>
#include <utility>

#include "classes/classes.h"
#include "classes/operations.h"
#include "core/live_set.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"
#include "values/indexable_object.h"

namespace vantorel {

namespace {

struct LiveResultObject {
  PyObject_HEAD std::shared_ptr<LiveSet> set;
  PyObject* owner;     // the Index (strong)
  PyObject* on_enter;  // callables, or null
  PyObject* on_leave;
};

LiveResultObject* as_live(PyObject* object) {
  return reinterpret_cast<LiveResultObject*>(object);
}

bool check_receiver(PyObject* self) {
  return is_instance(self, live_result_type(), "LiveResult");
}

// Stops the set and forgets the callbacks. Requires the interpreter lock.
void close_live(LiveResultObject* live) {
  if (live->set) {
    live->set->listener = nullptr;
    py::NativeScope native;
    live->set->close();
  }
  Py_CLEAR(live->on_enter);
  Py_CLEAR(live->on_leave);
}

void live_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  LiveResultObject* live = as_live(self);
  try {
    close_live(live);
  } catch (const std::exception&) {
    // A poisoned lock: the set is let go unclosed; the core holds it weakly.
  }
  Py_CLEAR(live->owner);
  live->set.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

int live_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_live(self)->owner);
  Py_VISIT(as_live(self)->on_enter);
  Py_VISIT(as_live(self)->on_leave);
  return 0;
}

int live_clear(PyObject* self) {
  LiveResultObject* live = as_live(self);
  try {
    close_live(live);
  } catch (const std::exception&) {
  }
  Py_CLEAR(live->owner);
  return 0;
}

// The set of an open live result; throws PythonError (ValueError) once it
// is closed.
LiveSet& open_set(PyObject* self) {
  LiveSet& set = *as_live(self)->set;
  bool closed = false;
  {
    py::NativeScope native;
    closed = set.closed() || !set.core();
  }
  if (closed) {
    PyErr_SetString(PyExc_ValueError, "the live result is closed");
    throw py::PythonError();
  }
  return set;
}

// The members now, as a fixed result of the core.
FilteredIndex view_of(PyObject* self) {
  LiveSet& set = open_set(self);
  py::NativeScope native;
  std::shared_ptr<IndexAPI> core = set.core();
  if (!core) return FilteredIndex(IndexAPI::make(), Bitmap(), 0);
  Bitmap members = set.members();
  // Read after the members: an object filled into its slot before then is
  // reported, one that left is not.
  const uint64_t epoch = core->departures();
  return FilteredIndex(std::move(core), std::move(members), epoch);
}

PyObject* live_close(PyObject* self, const py::ParsedArgs&) {
  close_live(as_live(self));
  Py_RETURN_NONE;
}

PyObject* live_enter(PyObject* self, const py::ParsedArgs&) {
  open_set(self);
  return Py_NewRef(self);
}

PyObject* live_exit(PyObject* self, const py::ParsedArgs&) {
  close_live(as_live(self));
  Py_RETURN_FALSE;
}

// A selection (reduced_of, reduced_query_of, query_of) over the members now.
template <Selection kSelect>
PyObject* selected(PyObject* self, const py::ParsedArgs& args) {
  return kSelect(as_live(self)->owner, view_of(self), args);
}

PyObject* live_count(PyObject* self, const py::ParsedArgs&) {
  return count_of(view_of(self));
}

PyObject* live_value_counts(PyObject* self, const py::ParsedArgs& args) {
  return value_counts_of(view_of(self), args);
}

PyObject* live_sorted_by(PyObject* self, const py::ParsedArgs& args) {
  return sorted_by_of(view_of(self), args, "LiveResult.sorted_by()");
}

PyObject* collect_live(PyObject* self) {
  const FilteredIndex view = view_of(self);
  return collect_items(view, *view.fixed_ids());
}

PyObject* live_collect(PyObject* self, const py::ParsedArgs&) {
  return collect_live(self);
}

// A closed live result is empty: its length is 0 rather than an error, so
// that it is false in a condition.
Py_ssize_t live_length(PyObject* self) {
  return py::enter<Py_ssize_t>("LiveResult.__len__()", -1, [&]() -> Py_ssize_t {
    py::NativeScope native;
    return static_cast<Py_ssize_t>(as_live(self)->set->count());
  });
}

int live_contains(PyObject* self, PyObject* object) {
  return py::enter<int>("LiveResult.__contains__()", -1, [&]() -> int {
    LiveSet& set = open_set(self);
    if (!is_indexable(object)) return 0;
    const uint32_t id = as_indexable(object)->record.id;
    std::shared_ptr<IndexAPI> core;
    uint64_t epoch = 0;
    {
      py::NativeScope native;
      if (!set.contains(id)) return 0;
      core = set.core();
      if (!core) return 0;
      epoch = core->departures();
    }
    return contains_of(FilteredIndex(std::move(core), Bitmap{id}, epoch), object);
  });
}

PyObject* live_iter(PyObject* self) {
  return py::enter<PyObject*>("LiveResult.__iter__()", nullptr, [&]() -> PyObject* {
    py::OwnedRef objects = py::OwnedRef::steal(collect_live(self));
    return objects ? PyObject_GetIter(objects.get()) : nullptr;
  });
}

PyObject* live_reduce_ex(PyObject*, const py::ParsedArgs&) {
  PyErr_SetString(PyExc_TypeError,
                  "a LiveResult does not pickle or copy: collect() its objects, or rebase() "
                  "the result of query() into an Index");
  return nullptr;
}

const py::Method kClose{{"LiveResult.close()", {}, 0}, live_close, check_receiver};
const py::Method kEnter{{"LiveResult.__enter__()", {}, 0}, live_enter, check_receiver};
const py::Method kExit{{"LiveResult.__exit__()", {}, 0, true}, live_exit, check_receiver};
const py::Method kReduced{
    {"LiveResult.reduced()", {}, 0, false, true}, selected<reduced_of>, check_receiver};
const py::Method kReducedQuery{
    {"LiveResult.reduced_query()", {"query"}, 1}, selected<reduced_query_of>, check_receiver};
const py::Method kQuery{{"LiveResult.query()", {"text"}, 1}, selected<query_of>, check_receiver};
const py::Method kCollect{{"LiveResult.collect()", {}, 0}, live_collect, check_receiver};
const py::Method kCount{{"LiveResult.count()", {}, 0}, live_count, check_receiver};
const py::Method kValueCounts{
    {"LiveResult.value_counts()", {"attr", "limit"}, 1}, live_value_counts, check_receiver};
const py::Method kSortedBy{
    {"LiveResult.sorted_by()", {"attr", "descending", "limit"}, 1}, live_sorted_by, check_receiver};
const py::Method kReduceEx{
    {"LiveResult.__reduce_ex__()", {"protocol"}, 1}, live_reduce_ex, check_receiver};

PyMethodDef kLiveMethods[] = {
    py::method_def<kClose>("close",
                           "close($self)\n--\n\nStops following the index: the result is empty "
                           "from then on, and every use but len() and close() raises ValueError. "
                           "Closing twice does nothing."),
    py::method_def<kEnter>("__enter__", "__enter__($self)\n--\n\nThe live result itself."),
    py::method_def<kExit>("__exit__", "__exit__($self, *args)\n--\n\nCloses the live result."),
    py::method_def<kReduced>(
        "reduced",
        "reduced($self, **kwargs)\n--\n\nThe members whose attributes equal the keywords, as a "
        "fixed FilteredIndex."),
    py::method_def<kReducedQuery>(
        "reduced_query",
        "reduced_query($self, query)\n--\n\nThe members that match a PyQueryExpr, as a fixed "
        "FilteredIndex."),
    py::method_def<kQuery>("query",
                           "query($self, text)\n--\n\nThe members matching the expression that "
                           "`text` spells, as a fixed FilteredIndex."),
    py::method_def<kCollect>("collect",
                             "collect($self)\n--\n\nThe members now, in ascending item id order."),
    py::method_def<kCount>("count", kCountDoc),
    py::method_def<kValueCounts>("value_counts", kValueCountsDoc),
    py::method_def<kSortedBy>("sorted_by", kSortedByDoc),
    py::method_def<kReduceEx>("__reduce_ex__",
                              "__reduce_ex__($self, protocol)\n--\n\nRefused: a LiveResult does "
                              "not pickle or copy."),
    class_getitem_def(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* live_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "No constructor defined for LiveResult: Index.watch() makes one");
  return nullptr;
}

PyType_Slot kLiveSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(live_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(live_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(live_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(live_clear)},
    {Py_tp_methods, kLiveMethods},
    {Py_sq_length, reinterpret_cast<void*>(live_length)},
    {Py_sq_contains, reinterpret_cast<void*>(live_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(live_iter)},
    {Py_tp_doc,
     const_cast<char*>("The live result of Index.watch(): at every moment, the objects of the "
                       "index that match its expression. Its on_enter and on_leave callbacks are "
                       "called after each change of membership, on the thread that made it. "
                       "close() (or leaving a with block, or dropping the last reference) stops "
                       "it.")},
    {0, nullptr},
};

PyType_Spec kLiveSpec{"builtins.LiveResult", static_cast<int>(sizeof(LiveResultObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kLiveSlots};

// Set while this thread's delivery loop runs: the changes that callbacks
// make are settled and delivered by that loop, after the callback returns.
thread_local bool delivering = false;

class DeliveringScope {
 public:
  DeliveringScope() { delivering = true; }
  ~DeliveringScope() { delivering = false; }
  DeliveringScope(const DeliveringScope&) = delete;
  DeliveringScope& operator=(const DeliveringScope&) = delete;
};

// Calls the callback of one notification; false with an error set when it
// raised.
bool notify(const LiveNotification& notification) {
  auto* live = static_cast<LiveResultObject*>(notification.set->listener);
  if (live == nullptr) return true;
  {
    py::NativeScope native;
    if (notification.set->closed()) return true;
  }
  PyObject* callback = notification.entered ? live->on_enter : live->on_leave;
  if (callback == nullptr) return true;
  py::OwnedRef held = py::OwnedRef::borrow(callback);  // the callback may close the result
  py::OwnedRef result =
      py::OwnedRef::steal(PyObject_CallOneArg(held.get(), notification.item.python->get()));
  return static_cast<bool>(result);
}

// Settles the changes noted on this thread and delivers the notifications,
// oldest first, until none is left. The first error raised by a callback is
// the one set; the later ones are dropped, after their notifications'
// successors are delivered all the same.
bool deliver_live_notifications() {
  if (delivering) return true;
  DeliveringScope scope;
  py::OwnedRef pending = py::take_raised_exception();
  py::OwnedRef first;
  while (true) {
    {
      py::NativeScope native;
      settle_live_changes();
    }
    std::optional<LiveNotification> next = next_live_notification();
    if (!next) break;
    if (!notify(*next)) {
      py::OwnedRef error = py::take_raised_exception();
      if (!first) first = std::move(error);
    }
  }
  py::delivery_due = false;
  if (pending) {
    py::restore_raised_exception(std::move(pending));
    return false;
  }
  if (first) {
    py::restore_raised_exception(std::move(first));
    return false;
  }
  return true;
}

bool parse_callback(PyObject* object, const char* parameter, PyObject** callback) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyCallable_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be callable or None, not '%s'", parameter,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  *callback = object;
  return true;
}

}  // namespace

PyTypeObject* live_result_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kLiveSpec));
  return type;
}

PyObject* watch_of(PyObject* owner, std::shared_ptr<IndexAPI> core, const py::ParsedArgs& args) {
  const QueryExpr* expr = query_expr_of(args.values[0], "expr");
  if (expr == nullptr || !check_query(*expr)) return nullptr;
  PyObject* on_enter = nullptr;
  PyObject* on_leave = nullptr;
  if (!parse_callback(args.values[1], "on_enter", &on_enter) ||
      !parse_callback(args.values[2], "on_leave", &on_leave)) {
    return nullptr;
  }
  PyTypeObject* type = live_result_type();
  if (type == nullptr) return nullptr;
  py::delivery.store(deliver_live_notifications, std::memory_order_release);
  auto set = std::make_shared<LiveSet>(core, std::make_shared<const QueryExpr>(*expr));
  py::OwnedRef self = py::OwnedRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  LiveResultObject* live = as_live(self.get());
  new (&live->set) std::shared_ptr<LiveSet>(set);
  live->owner = Py_NewRef(owner);
  live->on_enter = Py_XNewRef(on_enter);
  live->on_leave = Py_XNewRef(on_leave);
  set->listener = live;
  {
    py::NativeScope native(py::NativeScope::kReleaseNow);
    set->start();
  }
  return self.release();
}

}  // namespace vantorel
