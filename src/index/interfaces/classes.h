// The Python classes of the query surface, and what they share.
#pragma once

#include <memory>
#include <vector>

#include "index/core/index.h"
#include "index/core/query/query_ops.h"
#include "py/python.h"

namespace vantorel {

// Class objects (heap types made on first call). Borrowed; null with an
// error set when creation fails.
PyTypeObject* index_type();
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();

// A new FilteredIndex over the shared value indexes and item table of a core.
PyObject* make_filtered_index(std::shared_ptr<PoisonRwLock<IndexAPI::MapArray>> maps,
                              std::shared_ptr<PoisonRwLock<IndexAPI::ItemTable>> items, Bitmap ids);

// A new Index object around `core`.
PyObject* make_index(std::shared_ptr<IndexAPI> core);

// The expression of a PyQueryExpr, or null with TypeError set (argument
// `parameter`) when `object` is not one.
const QueryExpr* query_expr_of(PyObject* object, const char* parameter);

// Keyword arguments as a conjunction of equalities (null kwargs: none).
// Throws py::PythonError when a value cannot be converted.
std::vector<QueryExpr> kwargs_to_query(PyObject* kwargs);

// Raises TypeError when a between query has bounds that are not numbers.
bool check_query(const QueryExpr& expr);

// The objects of `ids` in ascending id order, skipping vacant slots.
// Requires the interpreter lock.
PyObject* collect_items(const PoisonRwLock<IndexAPI::ItemTable>& items, const Bitmap& ids);

}  // namespace vantorel
