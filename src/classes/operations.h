// The whole-set operations that Index and FilteredIndex share: reduced,
// reduced_query, query, count, value_counts, sorted_by, __len__ and __contains__, over the set of
// objects of a FilteredIndex (for an Index, the set of its live objects). Each releases the
// interpreter lock while the set answers, except __contains__, which releases it only to wait for a
// lock.
#pragma once

#include "core/filtered_index.h"
#include "py/args.h"
#include "py/python.h"

namespace vantorel {

// The methods' bodies. Their parameters, in order: count(); value_counts(attr,
// limit=None) with 1 required; sorted_by(attr, descending=False, limit=None)
// with 1 required. `display_name` ("Index.sorted_by()") starts the messages.
// reduced(**kwargs) and reduced_query(query): the objects of `set` that
// match, as a new FilteredIndex object kept with `owner` (the Index object
// of the set's core, or null).
using Selection = PyObject* (*)(PyObject* owner, const FilteredIndex& set,
                                const py::ParsedArgs& args);
PyObject* reduced_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args);
PyObject* reduced_query_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args);
// query(text): reduced_query of the expression that `text` spells.
PyObject* query_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args);
PyObject* count_of(const FilteredIndex& set);
// __len__ (count(), -1 with an error set when it does not fit) and
// __contains__ (whether `object` is an Indexable that `set` reports; 0 for
// anything else).
Py_ssize_t length_of(const FilteredIndex& set);
int contains_of(const FilteredIndex& set, PyObject* object);
PyObject* value_counts_of(const FilteredIndex& set, const py::ParsedArgs& args);
PyObject* sorted_by_of(const FilteredIndex& set, const py::ParsedArgs& args,
                       const char* display_name);

// `Index[T]` and `FilteredIndex[T]`: the classes are generic in the type of
// their objects, for type checkers (a types.GenericAlias at run time).
PyMethodDef class_getitem_def();

// Docstrings (with their text signatures) for the method tables.
extern const char kQueryDoc[];
extern const char kCountDoc[];
extern const char kValueCountsDoc[];
extern const char kSortedByDoc[];

}  // namespace vantorel
