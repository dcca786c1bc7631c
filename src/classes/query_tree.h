// Query trees as values: structural equality, hashing, and the flat form in
// which they are pickled.
//
// Two trees are equal when they have the same shape: the same operator,
// attribute and values at every node and equal children in the same order.
// Numbers, strings and booleans compare as the index stores them, by kind
// and bits (so 1 and 1.0 differ, as do 0.0 and -0.0, and a NaN equals
// itself); Indexable values by identity; other values (containers, and
// objects the index compares by identity) by Python equality, so that a
// tree read back from a pickle equals the one written.
//
// The flat form is a tuple of node tuples in post-order, the root last. A
// node is its builder's call, with the builder's name first and, in place of
// each child, the child's position in the tuple: ("eq", attr, value),
// ("bt", attr, lower, upper), ("in_", attr, (value, ...)), ("and_", 0, 3),
// ("not_", 4). A node shared by several parents is written once, so the form
// is as large as the tree's distinct nodes and no deeper than two tuples,
// whatever the nesting.
//
// Everything here walks the tree with an explicit stack, never recursively,
// and requires the interpreter lock.
#pragma once

#include "core/query/query_ops.h"
#include "py/python.h"

namespace vantorel {

// Whether `a` and `b` are equal trees. Throws py::PythonError when a Python
// comparison of two values raises.
bool trees_equal(const QueryExpr& a, const QueryExpr& b);

// A hash consistent with trees_equal (never -1). Calls no Python code.
Py_hash_t tree_hash(const QueryExpr& root);

// The flat form of `root`, a new tuple. Throws py::PythonError.
PyObject* flat_form(const QueryExpr& root);

// The PyQueryExpr that `nodes`, a flat form, describes, made by calling the
// builders: what they raise for their arguments, TypeError or ValueError for
// what is not a flat form. Throws py::PythonError.
PyObject* expr_from_flat_form(PyObject* nodes);

}  // namespace vantorel
