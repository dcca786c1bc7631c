// Matching one object against a query leaf by reading its attribute store.
//
// Dotted names are answered from nested cores, which index each held object
// one level further down. An object that holds its own holder, directly or
// further up, is not nested again (that would never end); such links are
// kept aside, and a query answers them with this matcher, which follows the
// rest of the name through the objects' stores. It reads the same values the
// indexes hold and applies the same comparisons, so both ways agree.
#pragma once

#include <string_view>

#include "index/core/query/query_ops.h"
#include "index/stored_item.h"

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

}  // namespace vantorel
