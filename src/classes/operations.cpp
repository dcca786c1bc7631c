#include "classes/operations.h"

#include <optional>
#include <string_view>
#include <vector>

#include "classes/classes.h"
#include "py/errors.h"
#include "py/gil.h"
#include "values/indexable_object.h"

namespace vantorel {

const char kQueryDoc[] =
    "query($self, text)\n--\n\nThe objects matching the expression that `text` spells: "
    "reduced_query(PyQueryExpr.parse(text)), for example "
    "query(\"18 <= age < 65 and city in ['Paris', 'Lyon']\").";
const char kCountDoc[] =
    "count($self)\n--\n\nThe number of objects that collect() would return, without building "
    "the list.";
const char kValueCountsDoc[] =
    "value_counts($self, attr, limit=None)\n--\n\nThe (value, count) pairs of one attribute "
    "(dotted names reach nested objects): for each value an equality query can match, how many "
    "objects it reports. Most frequent first; ties by value: numbers, strings, False, True, then "
    "other values. `limit` keeps the first pairs.";
const char kSortedByDoc[] =
    "sorted_by($self, attr, descending=False, limit=None)\n--\n\nThe objects whose plain "
    "attribute `attr` is a number or a string, ordered by it: numbers (NaN last), then strings "
    "by UTF-8 bytes; equal values by item id. `descending` reverses the values (NaN stays after "
    "the other numbers); `limit` keeps the first objects.";

PyMethodDef class_getitem_def() {
  return {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
          "__class_getitem__($cls, item, /)\n--\n\nThe class parameterised by the type of its "
          "objects, for type annotations."};
}

namespace {

// `limit`: None, or an integer (anything with __index__) >= 0.
bool parse_limit(PyObject* object, std::optional<size_t>* limit) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyIndex_Check(object)) {
    py::set_cannot_convert(object, "int", "limit");
    return false;
  }
  py::OwnedRef number = py::OwnedRef::steal(PyNumber_Index(object));
  if (!number) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_ValueError, "argument 'limit': must be None or an int >= 0, not %R",
                 number.get());
    return false;
  }
  // A limit past any possible size is no limit.
  if (overflow == 0) *limit = static_cast<size_t>(value);
  return true;
}

// `descending`: a bool (or an int, as for the builtin sorted's `reverse`).
bool parse_descending(PyObject* object, bool* flag) {
  if (object == nullptr) return true;
  if (!PyLong_Check(object)) {
    py::set_cannot_convert(object, "bool", "descending");
    return false;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  *flag = truth != 0;
  return true;
}

PyObject* pair_of(const Facet& facet) {
  py::OwnedRef value = py::OwnedRef::steal(facet.value.to_python());
  if (!value) return nullptr;
  return Py_BuildValue("(OK)", value.get(), static_cast<unsigned long long>(facet.count));
}

// The set that `reduce(set)` evaluates, without the interpreter lock, as a
// new FilteredIndex object.
template <class Reduce>
PyObject* reduced_object(PyObject* owner, const FilteredIndex& set, Reduce&& reduce) {
  std::optional<FilteredIndex> result;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    result.emplace(reduce(set));
  }
  return make_filtered_index(owner, std::move(*result));
}

}  // namespace

PyObject* reduced_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args) {
  std::vector<QueryExpr> exprs = kwargs_to_query(args.var_keyword);
  return reduced_object(owner, set, [&](const FilteredIndex& from) { return from.reduced(exprs); });
}

PyObject* reduced_query_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args) {
  const QueryExpr* query = query_expr_of(args.values[0], "query");
  if (query == nullptr || !check_query(*query)) return nullptr;
  // The argument keeps the (immutable) tree alive for the call.
  return reduced_object(owner, set,
                        [&](const FilteredIndex& from) { return from.reduced_query(*query); });
}

PyObject* query_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args) {
  QueryExprPtr query = parse_text_argument(args.values[0]);
  // `query` keeps the (immutable) tree alive for the call.
  return reduced_object(owner, set,
                        [&](const FilteredIndex& from) { return from.reduced_query(*query); });
}

namespace {

uint64_t count_released(const FilteredIndex& set) {
  py::NativeScope released(py::NativeScope::kReleaseNow);
  return set.count();
}

}  // namespace

PyObject* count_of(const FilteredIndex& set) {
  return PyLong_FromUnsignedLongLong(count_released(set));
}

Py_ssize_t length_of(const FilteredIndex& set) {
  const uint64_t count = count_released(set);
  if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "the set holds more objects than len() can report");
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

int contains_of(const FilteredIndex& set, PyObject* object) {
  if (!is_indexable(object)) return 0;
  const uint32_t id = as_indexable(object)->record.id;
  // One id: answered with the interpreter lock held unless a lock is busy.
  py::NativeScope native;
  return set.reports(id, object) ? 1 : 0;
}

PyObject* value_counts_of(const FilteredIndex& set, const py::ParsedArgs& args) {
  const std::string_view attr = attr_argument(args.values[0]);
  std::optional<size_t> limit;
  if (!parse_limit(args.values[1], &limit)) return nullptr;
  std::vector<Facet> facets;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    facets = set.value_counts(attr, limit);
  }
  py::OwnedRef list = py::OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(facets.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < facets.size(); ++i) {
    PyObject* pair = pair_of(facets[i]);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* sorted_by_of(const FilteredIndex& set, const py::ParsedArgs& args,
                       const char* display_name) {
  const std::string_view attr = attr_argument(args.values[0]);
  bool descending = false;
  std::optional<size_t> limit;
  if (!parse_descending(args.values[1], &descending) || !parse_limit(args.values[2], &limit)) {
    return nullptr;
  }
  if (attr.find('.') != std::string_view::npos) {
    PyErr_Format(PyExc_ValueError, "%s orders by a plain attribute, not the dotted name %R",
                 display_name, args.values[0]);
    return nullptr;
  }
  std::vector<py::SharedRef> objects;
  {
    py::NativeScope released(py::NativeScope::kReleaseNow);
    objects = set.sorted_by(attr, descending, limit);
  }
  py::OwnedRef list = py::OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < objects.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects[i]->new_reference());
  }
  return list.release();
}

}  // namespace vantorel
