// Point queries: a conjunction of equalities whose answer is a handful of
// objects, answered from the per-value id sets directly.
//
// The general evaluator builds a Roaring bitmap for every intermediate result
// and runs with the interpreter lock released. For `name == x` that overhead
// is most of the call. Here each equality reads the id set of its value
// (numbers and strings; dotted names through the nested cores' exact
// parent links), maps element ids to their holders, keeps the live ids, and
// intersects the terms, all in a small inline array.
//
// Every lock is only tried, never waited for, so this runs with the
// interpreter lock held. Whenever it cannot answer exactly as the evaluator
// would (a busy lock, a set larger than the inline array, a value kind
// without per-value sets, links kept aside as cycles, two terms on one
// attribute) it declines and the caller evaluates the usual way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/index.h"
#include "core/query/compare.h"

namespace vantorel {

// Up to kCapacity ids held inline.
class SmallIds {
 public:
  static constexpr size_t kCapacity = 64;

  // Appends `id`; false when the array is full.
  bool push(uint32_t id) {
    if (size_ == kCapacity) return false;
    ids_[size_++] = id;
    return true;
  }
  // Sorts the ids ascending and drops duplicates.
  void sort_unique();
  // Keeps the ids for which keep(id) holds, in order.
  template <class Keep>
  void retain_if(Keep&& keep) {
    size_t kept = 0;
    for (size_t i = 0; i < size_; ++i) {
      if (keep(ids_[i])) ids_[kept++] = ids_[i];
    }
    size_ = kept;
  }

  const uint32_t* begin() const { return ids_.data(); }
  const uint32_t* end() const { return ids_.data() + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  std::array<uint32_t, kCapacity> ids_;
  size_t size_ = 0;
};

// One equality: attribute `attr` ("name" or "owner.name") equals `value`: a
// number or a string (whose bytes the caller keeps alive for the call), or
// nothing (NaN). Other kinds of keys make the point path decline.
struct PointTerm {
  std::string_view attr;
  QueryKey value;
};

// The live ids of `core` that satisfy every term, ascending; nullopt when the
// point path declines (see above). Call with or without the interpreter lock.
std::optional<SmallIds> point_query(IndexAPI& core, std::span<const PointTerm> terms);

}  // namespace vantorel
