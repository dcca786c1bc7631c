// Matching one object against a query leaf, and collecting the values it
// holds at a dotted path, by reading its attribute store.
//
// Dotted names are answered from nested cores, which index each held object
// one level further down. An object that holds its own holder, directly or
// further up, is not nested again (that would never end); such links are
// kept aside, and queries and facet counts answer them here, following the
// rest of the name through the objects' stores. Matching and collecting walk
// the path the same way, read the same values the indexes hold and compare
// them as the indexes do, so every way agrees.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/query/query_ops.h"
#include "values/stored_item.h"

namespace vantorel {

// Whether the object of `record` matches operator `op` (Eq, In, a range or a
// string operator; not Ne) with the operands of `expr`, on the attribute path
// `path` ("a" or "a.b.c"). Elements of lists, tuples and sets take part as
// their holders do, and Indexable values, in containers too, lead to the next
// name of the path. Names beginning with "_" are not indexed in nested
// objects and match nothing here either. Takes each object's attribute mutex
// briefly; cost is bounded by the path's length times the objects it meets.
bool object_matches(const IndexableRecord& record, std::string_view path, QueryOp op,
                    const QueryExpr& expr);

// Whether the plain attribute `attribute` (an interned id) of the object of
// `record` matches operator `op` with the operands of `expr`, compared as
// object_matches compares. Reads the value under the object's attribute
// mutex, without copying it.
bool attribute_matches(const IndexableRecord& record, uint32_t attribute, QueryOp op,
                       const QueryExpr& expr);

// Appends to `out` every value that the object of `record` holds at `path`,
// as object_matches walks it: the elements of lists, tuples and sets one by
// one in their container's place, never the containers; NaN is left out (no
// equality matches it). A value met along several ways is appended each time.
void collect_path_values(const IndexableRecord& record, std::string_view path,
                         std::vector<PyValue>& out);

// Whether an equality query for `b` matches the stored value `a` (neither a
// container): numbers by numeric value (1 and 1.0 alike, -0.0 and 0 alike,
// NaN never), strings by their bytes, booleans only booleans, any other kind
// by identity. QueryValueHash hashes alike the values it calls equal.
bool same_query_value(const PyValue& a, const PyValue& b);
struct QueryValueHash {
  uint64_t operator()(const PyValue& value) const;
};
struct SameQueryValue {
  bool operator()(const PyValue& a, const PyValue& b) const { return same_query_value(a, b); }
};

}  // namespace vantorel
