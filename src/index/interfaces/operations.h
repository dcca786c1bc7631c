// The whole-set operations that Index and FilteredIndex share: reduced,
// reduced_query, count, value_counts and sorted_by, over the set of objects of a FilteredIndex (for
// an Index, the set of its live objects). Each releases the interpreter lock
// while the set answers.
#pragma once

#include "index/core/filtered_index.h"
#include "py/args.h"
#include "py/python.h"

namespace vantorel {

// The methods' bodies. Their parameters, in order: count(); value_counts(attr,
// limit=None) with 1 required; sorted_by(attr, descending=False, limit=None)
// with 1 required. `display_name` ("Index.sorted_by()") starts the messages.
// reduced(**kwargs) and reduced_query(query): the objects of `set` that
// match, as a new FilteredIndex object kept with `owner` (the Index object
// of the set's core, or null).
PyObject* reduced_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args);
PyObject* reduced_query_of(PyObject* owner, const FilteredIndex& set, const py::ParsedArgs& args);
PyObject* count_of(const FilteredIndex& set);
PyObject* value_counts_of(const FilteredIndex& set, const py::ParsedArgs& args);
PyObject* sorted_by_of(const FilteredIndex& set, const py::ParsedArgs& args,
                       const char* display_name);

// Docstrings (with their text signatures) for the method tables.
extern const char kCountDoc[];
extern const char kValueCountsDoc[];
extern const char kSortedByDoc[];

}  // namespace vantorel
