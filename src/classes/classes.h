// The Python classes of the query surface, and what they share.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/filtered_index.h"
#include "core/index.h"
#include "core/query/query_ops.h"
#include "py/args.h"
#include "py/python.h"
#include "py/ref.h"

namespace vantorel {

// Class objects (heap types made on first call). Borrowed; null with an
// error set when creation fails.
PyTypeObject* index_type();
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();
PyTypeObject* live_result_type();

// A new FilteredIndex object around `view` (a fixed set). It keeps `owner`,
// the Index object of the view's core (or null), so that the cycle collector
// reaches the shared item table through it.
PyObject* make_filtered_index(PyObject* owner, FilteredIndex view);

// Index.watch(expr, on_enter=None, on_leave=None) of the Index `owner` of
// `core`: a new LiveResult object.
PyObject* watch_of(PyObject* owner, std::shared_ptr<IndexAPI> core, const py::ParsedArgs& args);

// A new Index object around `core`.
PyObject* make_index(std::shared_ptr<IndexAPI> core);

// Gives every item a reference of its own to its object before the items go
// into another table: no two tables share a reference, since each table
// reports its own to the cycle collector. Requires the interpreter lock.
void take_own_references(std::vector<StoredItem>& items);

// Whether `object` is an instance of `type` (null when the class could not
// be made, with the error set); otherwise false with TypeError set ("cannot
// be converted to '{name}'", for the argument `parameter` when given).
bool is_instance(PyObject* object, PyTypeObject* type, const char* name,
                 const char* parameter = nullptr);

// The expression of a PyQueryExpr, or null with TypeError set (argument
// `parameter`) when `object` is not one.
const QueryExpr* query_expr_of(PyObject* object, const char* parameter);

// The UTF-8 text of the argument `attr` of a call, valid while it lives.
// Throws py::PythonError with TypeError set when it is not a str, or what
// encoding it raises.
std::string_view attr_argument(PyObject* attr);

// The tree that the argument `text` of a call spells (query_text.h). Throws
// py::PythonError with TypeError set when it is not a str, or what reading
// it raises.
QueryExprPtr parse_text_argument(PyObject* text);

// The module function "_restore_query(nodes)": the PyQueryExpr of a flat
// form (query_tree.h). Pickles of expressions name it by reference, so it
// must be set on the module under that name.
PyMethodDef* restore_query_method();

// The module function "_restore_index()": an empty Index, to which a pickle
// hands its state (Index.__setstate__). Pickles of indexes name it by
// reference, so it must be set on the module under that name.
PyMethodDef* restore_index_method();

// Keyword arguments (name, value) as a conjunction of equalities.
// Throws py::PythonError when a value cannot be converted.
std::vector<QueryExpr> kwargs_to_query(const std::vector<std::pair<PyObject*, PyObject*>>& kwargs);

// Raises TypeError when a between query has bounds that are not numbers.
bool check_query(const QueryExpr& expr);

// The objects of `ids` that `set` reports, in ascending id order, as a list.
// The item table is read with the interpreter lock held when it is free.
PyObject* collect_items(const FilteredIndex& set, const Bitmap& ids);

// The iterator of the argument `parameter`, or null with TypeError set (see
// for_each_in_iterable).
py::OwnedRef iterator_of_argument(PyObject* iterable, const char* parameter,
                                  const char* str_refusal);

// Calls `each(item)` (a borrowed reference) for every element of the iterable
// `iterable`, the argument `parameter` of a call. A str is refused with
// TypeError, with `str_refusal` as the message; so is an object that is not
// iterable. Returns false with an error set when the argument is refused,
// iteration fails or `each` returns false.
template <class Fn>
bool for_each_in_iterable(PyObject* iterable, const char* parameter, const char* str_refusal,
                          Fn&& each) {
  py::OwnedRef iterator = iterator_of_argument(iterable, parameter, str_refusal);
  if (!iterator) return false;
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    py::OwnedRef item = py::OwnedRef::steal(raw);
    if (!each(raw)) return false;
  }
  return !PyErr_Occurred();
}

// How many elements to make room for before reading `iterable`: the size of
// a list, tuple, set or dict, which is what it holds; for anything else its
// length hint (0 when it has none), which it may misreport, so at most a few
// thousand: the vector grows past that as elements actually arrive.
size_t reserve_hint(PyObject* iterable);

}  // namespace vantorel
