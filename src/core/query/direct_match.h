// Matching one object against a query leaf, and collecting the values it
// holds at a dotted path, by reading its attribute store.
//
// Dotted names are answered from nested cores, which index each held object
// one level further down. An object that holds its own holder, directly or
// further up, is not nested again (that would never end); such links are
// kept aside, and queries and facet counts answer them here, following the
// rest of the name through the objects' stores. Matching and collecting walk
// the path the same way, read the same values the indexes hold and compare
// them by the same rules (compare.h), so every way agrees.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/query/compare.h"
#include "values/stored_item.h"

namespace vantorel {

// Whether the object of `record` passes `comparison` on the attribute path
// `path` ("a" or "a.b.c"). Elements of lists, tuples and sets take part as
// their holders do, and Indexable values, in containers too, lead to the next
// name of the path. Names that nested cores do not index (those beginning
// with "_") match nothing here either. Takes each object's attribute mutex
// briefly; cost is bounded by the path's length times the objects it meets.
bool object_matches(const IndexableRecord& record, std::string_view path,
                    const Comparison& comparison);

// Whether the plain attribute `attribute` (an interned id) of the object of
// `record` passes `comparison`. Reads the value under the object's attribute
// mutex, without copying it.
bool attribute_matches(const IndexableRecord& record, uint32_t attribute,
                       const Comparison& comparison);

// Appends to `out` every value that the object of `record` holds at `path`,
// as object_matches walks it: the elements of lists, tuples and sets one by
// one in their container's place, never the containers; values that no
// equality query matches (NaN) are left out. A value met along several ways
// is appended each time.
void collect_path_values(const IndexableRecord& record, std::string_view path,
                         std::vector<PyValue>& out);

}  // namespace vantorel
