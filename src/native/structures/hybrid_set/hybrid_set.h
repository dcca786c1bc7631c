// HybridSet: the set of item ids kept for one distinct attribute value.
//
// Most values are held by very few items, so the set starts as a sorted array
// stored inside the set and becomes a Roaring bitmap when it outgrows it. It
// has four representations:
//
//   Empty   nothing
//   Small   a CenteredArray stored inline
//   Medium  a CenteredArray in its own allocation
//   Large   a Bitmap
//
// Growth thresholds: `add` keeps a Small set at no more than 3 ids (the next
// add, even of a present id, makes it Large) and a Medium set at no more than
// 4. Only `union_with` (and copying) produces Medium sets, or Small sets of 4.
// A set never converts back: removals and `retain_in` keep the representation,
// so an array form or a Large set may be empty.
//
// Copies are deep. A moved-from set is Empty. No lock of its own: the owner
// (a map shard) guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "native/structures/centered_array/centered_array.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class HybridSet {
 public:
  enum class Kind { Empty, Small, Medium, Large };

  HybridSet() = default;
  HybridSet(const HybridSet& other);
  HybridSet& operator=(const HybridSet& other);
  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(HybridSet&& other) noexcept;
  ~HybridSet() = default;

  // A Small set holding `id`: what the index stores for a newly seen value.
  static HybridSet single(uint32_t id);
  // A Medium set holding `ids` (ascending, no duplicates, at most 4), window
  // at slot 0.
  static HybridSet medium(std::span<const uint32_t> ids);

  Kind kind() const { return static_cast<Kind>(rep_.index()); }

  // Inserts `id`, converting to Large at the thresholds above.
  void add(uint32_t id);

  // Deletes `id` if present. Throws InternalError("called remove on Empty")
  // on an Empty set, which the index never stores.
  void remove(uint32_t id);
  // remove() for many ids, in ascending order: a Large set takes them out in
  // one pass over its containers when they are many (at least 128, and a
  // sixty-fourth of its size).
  void remove_many(std::span<const uint32_t> ids);

  // Merges `other` into this set. Two array forms whose sizes add up to at
  // most 4 stay an array: Small if both were Small, otherwise Medium. An
  // Empty set becomes a copy of `other`; an Empty `other` changes nothing.
  // Every other combination gives Large.
  void union_with(const HybridSet& other);

  // Keeps only the ids that are in `allowed`. The representation is kept; a
  // Small array is rebuilt by insertion (and so recentred), a Medium array is
  // rebuilt packed at slot 0.
  void retain_in(const Bitmap& allowed);

  // A new bitmap with the set's ids.
  Bitmap to_bitmap() const;

  // Adds the set's ids to `out`.
  void add_to(Bitmap& out) const;
  // The same, except that an array form's ids are appended to `gathered`
  // instead (see SetUnion).
  void add_to(Bitmap& out, std::vector<uint32_t>& gathered) const;
  // How many of the set's ids are in `allowed`, and the same ids added to
  // `out`; neither builds a bitmap of the set.
  uint64_t count_in(const Bitmap& allowed) const;
  void add_in(const Bitmap& allowed, Bitmap& out) const;

  size_t size() const;
  // Whether the set holds no id; unlike size(), never counts a bitmap.
  bool empty() const;
  bool contains(uint32_t id) const;

  // Calls fn(id) for every id in ascending order.
  template <class Fn>
  void for_each(Fn&& fn) const;

  // Calls fn(id) in ascending order for as long as fn returns true. Returns
  // false when fn stopped the walk.
  template <class Fn>
  bool for_each_while(Fn&& fn) const;

 private:
  // Alternatives in the order of Kind, so that kind() is the variant index.
  using Rep = std::variant<std::monostate, CenteredArray, std::unique_ptr<CenteredArray>, Bitmap>;

  // The array of a Small or Medium set; null for Empty and Large.
  const CenteredArray* array() const;
  CenteredArray* array();
  // The ids of an array form; empty for the others.
  std::span<const uint32_t> array_ids() const;
  void become_large_with(uint32_t id);
  // Whether removing `count` ids from `bitmap` is cheaper as one and-not pass
  // over its containers than one id at a time.
  static bool removes_in_one_pass(const Bitmap& bitmap, size_t count);

  Rep rep_;
};

// The union of many sets into one bitmap. Ids arriving one set at a time in
// no order would each land in a Roaring array container by a search and a
// shift; the array sets' ids are gathered instead and added in ascending
// order by finish(), so that each lands by an append. Bitmap sets are OR-ed
// into `out` as they come.
class SetUnion {
 public:
  explicit SetUnion(Bitmap& out) : out_(out) {}

  void add(const HybridSet& set) { set.add_to(out_, gathered_); }
  // Adds the gathered ids to `out`. Call once, after the last add.
  void finish();

 private:
  Bitmap& out_;
  std::vector<uint32_t> gathered_;
};

template <class Fn>
void HybridSet::for_each(Fn&& fn) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) {
    bitmap->for_each(fn);
    return;
  }
  for (uint32_t id : array_ids()) fn(id);
}

template <class Fn>
bool HybridSet::for_each_while(Fn&& fn) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) return bitmap->for_each_while(fn);
  for (uint32_t id : array_ids()) {
    if (!fn(id)) return false;
  }
  return true;
}

}  // namespace vantorel
