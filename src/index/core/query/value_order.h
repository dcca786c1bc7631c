// Ordering objects by the value of one attribute, straight from the sorted
// distinct values of its value index.
//
// Numbers come first (integers and floats on one scale, -0.0 equal to 0, NaN
// after every other number), then strings in UTF-8 byte order; objects of
// equal values follow in ascending id. Descending order reverses the values
// but keeps NaN right after the other numbers (strings descending, numbers
// descending, NaN) and keeps equal values in ascending id. Objects whose
// value is missing, a boolean, a container or of any other kind are left
// out: elements of containers are indexed under ids of their own, which are
// never in the set being ordered.
//
// With a limit the walk starts at the end that comes first and stops once it
// has the objects it needs, so its cost follows the values it passes, not
// the number of objects.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "index/core/query/query.h"
#include "index/core/structures/roaring/bitmap.h"

namespace vantorel {

// The ids of `allowed` that hold a number or a string under `map`, in the
// order above, at most `limit` of them.
std::vector<uint32_t> sorted_by_value(const QueryMap& map, const Bitmap& allowed, bool descending,
                                      std::optional<size_t> limit);

}  // namespace vantorel
