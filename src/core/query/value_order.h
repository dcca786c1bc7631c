// Ordering objects by the value of one attribute, two ways: straight from
// the sorted distinct values of its value index, or by sorting the values
// read from the objects themselves. Both give the same order.
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
// The walk over the value index costs what the distinct values it passes
// cost, not the number of objects: with a limit it starts at the end that
// comes first and stops once it has the objects it needs. Sorting the
// objects' own values costs what the objects cost, whatever the number of
// distinct values: the cheaper way for a set that is small next to them.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/query/query.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

// The ids of `allowed` that hold a number or a string under `map`, in the
// order above, at most `limit` of them; nullopt once the walk would do more
// than `max_work` units of work (a distinct value held by a few objects is
// one unit, one held by many a few).
std::optional<std::vector<uint32_t>> sorted_by_value(
    const QueryMap& map, const Bitmap& allowed, bool descending, std::optional<size_t> limit,
    size_t max_work = std::numeric_limits<size_t>::max());

// The number of distinct numbers and strings that `map` holds: what a walk
// over all of them passes.
size_t ordered_value_count(const QueryMap& map);

// How much work (as sorted_by_value counts it) a walk over the
// `distinct_values` of a map in a core of `live` objects may do to order
// `objects` of them (at most `limit`) before sorting the objects' own values
// would have cost less; nullopt when sorting them is expected to cost less
// from the start. A walk cut short at the allowance and followed by the sort
// costs about twice what the sort alone costs.
std::optional<size_t> walk_allowance(size_t distinct_values, uint64_t live, uint64_t objects,
                                     std::optional<size_t> limit);

// The same order over values entered one object at a time.
class StoredValueOrder {
 public:
  // Enters object `id` holding `value` (left out unless a number or a
  // string). Objects are entered in ascending id: NaNs, which order by id
  // alone, keep the order they were entered in.
  void add(uint32_t id, const PyValue& value);
  // The ids entered, in the order above, at most `limit` of them. Called
  // once: it reorders what was entered.
  std::vector<uint32_t> take(bool descending, std::optional<size_t> limit);

 private:
  // A number's 76-bit order key and the id in 128 bits, so that one
  // comparison of two words orders by key, then by id: the key's top 64 bits
  // in `high`, its low 12 bits at the top of `low`, the id at its bottom.
  struct Number {
    uint64_t high;
    uint64_t low;
    friend auto operator<=>(const Number&, const Number&) = default;
  };
  struct Text {  // bytes [offset, offset + size) of text_
    size_t offset;
    size_t size;
    uint32_t id;
  };
  std::vector<Number> numbers_;
  std::vector<uint32_t> nans_;
  std::vector<Text> strings_;
  std::string text_;  // every string entered, one after the other
};

}  // namespace vantorel
