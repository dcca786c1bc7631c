// HybridSet: the set of item ids kept for one distinct attribute value.
//
// Most values are held by very few items (a unique value by one), and the
// index keeps one set per distinct value, so the set is one 64-bit word. It
// has four representations:
//
//   Empty   nothing: the word is zero
//   Small   one id, inline in the word
//   Medium  2 or 3 ids, a sorted array in an allocation of its own
//   Large   a Bitmap in an allocation of its own
//
// A set grows through the forms in that order: the second id makes it
// Medium, the fourth Large; adding an id already present changes nothing.
// Removing the id of a Small set leaves it Empty; otherwise removals and
// retain_in() keep the representation, so a Medium or a Large set may be
// empty.
//
// The word tells the form by its low two bits: 01 Small (the id in the high
// half), 00 Medium (the array's address; zero is Empty), 10 Large (the
// bitmap's address). Both allocations are aligned to at least four bytes.
//
// Move-only; a moved-from set is Empty. No lock of its own: the owner guards
// it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class HybridSet {
 public:
  enum class Kind { Empty, Small, Medium, Large };
  // The most ids a Medium set holds.
  static constexpr size_t kArrayCapacity = 3;

  HybridSet() = default;
  HybridSet(HybridSet&& other) noexcept : word_(other.word_) { other.word_ = 0; }
  HybridSet& operator=(HybridSet&& other) noexcept;
  ~HybridSet() { release(); }

  // A Small set holding `id`: what the index stores for a newly seen value.
  static HybridSet single(uint32_t id);
  // A set holding `ids` (ascending, no duplicates) in the form their number
  // calls for.
  static HybridSet of(std::span<const uint32_t> ids);

  Kind kind() const {
    if (tag() == kSmallTag) return Kind::Small;
    if (tag() == kLargeTag) return Kind::Large;
    return word_ == 0 ? Kind::Empty : Kind::Medium;
  }

  // Inserts `id`, changing form at the thresholds above.
  void add(uint32_t id);
  // add() for many ids: a set that they take past kArrayCapacity becomes
  // Large at once, and a Large set takes them in one merge with its
  // containers when they are many (see remove_many()).
  void add_many(std::span<const uint32_t> ids);

  // Deletes `id` if present. Throws InternalError("called remove on Empty")
  // on an Empty set, which the index never stores.
  void remove(uint32_t id);
  // remove() for many ids, in ascending order: a Large set takes them out in
  // one pass over its containers when they are many (at least 16, and a
  // sixty-fourth of its size).
  void remove_many(std::span<const uint32_t> ids);

  // Removes every id that is in `drop`, keeping the representation as
  // remove() does.
  void remove_in(const Bitmap& drop);

  // Keeps only the ids that are in `allowed`. The representation is kept,
  // except that a Small set whose id goes is Empty.
  void retain_in(const Bitmap& allowed);

  // A new bitmap with the set's ids.
  Bitmap to_bitmap() const;

  // Adds the set's ids to `out`.
  void add_to(Bitmap& out) const;
  // Keeps in `running` only the set's ids.
  void intersect_into(Bitmap& running) const;
  // The same, except that the ids of a Small or Medium set are appended to
  // `gathered` instead (see SetUnion).
  void add_to(Bitmap& out, std::vector<uint32_t>& gathered) const;
  // How many of the set's ids are in `allowed`, and the same ids added to
  // `out`; neither builds a bitmap of the set.
  uint64_t count_in(const Bitmap& allowed) const;
  void add_in(const Bitmap& allowed, Bitmap& out) const;

  size_t size() const;
  // Whether the set holds no id; unlike size(), never counts a bitmap.
  bool empty() const {
    if (tag() == kSmallTag) return false;
    return word_ == 0 || stored_empty();
  }
  bool contains(uint32_t id) const;
  // Heap bytes held: the array's or the bitmap's allocation.
  size_t memory_bytes() const;

  // Calls fn(id) for every id in ascending order.
  template <class Fn>
  void for_each(Fn&& fn) const;

  // Calls fn(id) in ascending order for as long as fn returns true. Returns
  // false when fn stopped the walk.
  template <class Fn>
  bool for_each_while(Fn&& fn) const;

 private:
  struct IdArray {
    uint32_t size = 0;
    std::array<uint32_t, kArrayCapacity> ids{};
  };

  static constexpr uint64_t kTagMask = 3;
  static constexpr uint64_t kSmallTag = 1;
  static constexpr uint64_t kLargeTag = 2;

  uint64_t tag() const { return word_ & kTagMask; }
  // empty() for a Medium or Large set.
  bool stored_empty() const;
  uint32_t small_id() const { return static_cast<uint32_t>(word_ >> 32); }
  IdArray* array() const;  // Medium only
  Bitmap* bitmap() const;  // null unless Large
  // The ids of a Small or Medium set (a Small set's id is copied to `one`);
  // empty for the others.
  std::span<const uint32_t> array_ids(uint32_t& one) const;

  // Keeps the ids of a Small or Medium set for which keep(id) is true.
  template <class Keep>
  void keep_array_ids(Keep&& keep);
  void set_small(uint32_t id) { word_ = uint64_t{id} << 32 | kSmallTag; }
  void set_array(std::span<const uint32_t> ids);
  void set_bitmap(Bitmap bitmap);
  // Frees what the word points to and leaves the set Empty.
  void release();
  // Whether adding or removing `count` ids to or from `bitmap` is cheaper as
  // one pass over its containers than one id at a time.
  static bool changes_in_one_pass(const Bitmap& bitmap, size_t count);

  uint64_t word_ = 0;
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
  for_each_while([&fn](uint32_t id) {
    fn(id);
    return true;
  });
}

template <class Fn>
bool HybridSet::for_each_while(Fn&& fn) const {
  if (const Bitmap* large = bitmap()) return large->for_each_while(fn);
  uint32_t one;
  for (uint32_t id : array_ids(one)) {
    if (!fn(id)) return false;
  }
  return true;
}

}  // namespace vantorel
