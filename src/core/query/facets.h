// Facet counts: how many objects of a set hold each distinct value of one
// attribute.
//
// A value's count is exactly the size of what an equality query for that
// value reports over the same set: an object counts once whether it holds
// the value itself or as an element of a list, tuple or set, and a dotted
// attribute counts the holders whose nested object has the value, at every
// level through the nested cores and through the links kept aside as cycles
// (which, as queries do, read the held objects' stores). Values that an
// equality query cannot match (NaN) and values no object of the set holds
// are left out. The work is per distinct value (one intersection
// cardinality each), never per object, except one walk per cyclic link.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/index.h"
#include "native/structures/roaring/bitmap.h"
#include "values/value.h"

namespace vantorel {

struct Facet {
  // A native number, string or boolean, or the stored value itself for the
  // other kinds (which need the interpreter lock to become Python objects).
  PyValue value;
  uint64_t count = 0;
  // The smallest id among the counted objects: the order of values that
  // have no order of their own.
  uint32_t first_id = 0;
};

// The facets of `attr` (plain or dotted) over `allowed`, a set of live ids
// of the core whose value indexes are `maps` (held for reading by the
// caller). Ordered by count descending, then numbers ascending, strings by
// their UTF-8 bytes, false, true, and other values by `first_id`; cut to
// the first `limit` when one is given. Numbers read back as integers when
// integral and within 64 bits.
std::vector<Facet> value_counts(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                                std::string_view attr, std::optional<size_t> limit);

}  // namespace vantorel
