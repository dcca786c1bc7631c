// M2MU32: the parent/child relation between item ids.
//
// When an attribute of an indexed object holds another indexed object, the
// holder is the parent and the held object the child.
//
// Exact adjacency: parent -> children and child -> parents sets. The exact_*
// queries cost O(input ids x their partners) and never over-report; nested
// queries use them. Registering or removing a pair touches two sets.
//
// Nibble lookups. For each of the 8 nibble positions of an id (position 0 is
// bits 0-3, position 7 bits 28-31) and each nibble value d, by-parent[i][d]
// holds every child of every parent whose nibble i is d, and by-child[i][d]
// every parent of every child whose nibble i is d. parents_of and children_of
// answer by intersecting 8 of these bitmaps per input id. The answer is exact
// while every id has at most one partner; otherwise it may over-report: a
// parent of children 0x01 and 0x10 is also reported as a parent of 0x00 and
// 0x11. No query of the index reads them, so the tables are not kept in step
// with every pair: each nibble lookup derives the side it needs from the
// adjacency (8 bitmap unions per id with partners, then 8 intersections per
// input id).
//
// No lock of its own; the owning index core guards it with a reader-writer
// lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

// 16 bitmaps, one per nibble value.
class NibbleIndexU32 {
 public:
  static constexpr uint32_t kDigits = 16;

  Bitmap& operator[](uint32_t digit) { return bitmaps_[digit]; }
  const Bitmap& operator[](uint32_t digit) const { return bitmaps_[digit]; }

 private:
  std::array<Bitmap, kDigits> bitmaps_;
};

class M2MU32 {
 public:
  static constexpr int kPositions = 8;

  // Nibble `position` (0 = lowest) of `id`.
  static uint32_t nibble(uint32_t id, int position) { return (id >> (4 * position)) & 0xF; }

  M2MU32() = default;

  // Records the pair. Recording a pair twice changes nothing.
  void register_pair(uint32_t parent, uint32_t child);

  // Removes the pair if recorded; other pairs are unaffected.
  void unregister_pair(uint32_t parent, uint32_t child);

  // Nibble lookups; may over-report, see above.
  Bitmap parents_of(const Bitmap& children) const;
  Bitmap children_of(const Bitmap& parents) const;

  // Whether `id` is the child of some pair.
  bool is_child(uint32_t id) const;

  // Exact lookups.
  Bitmap exact_parents_of(const Bitmap& children) const;
  // The parents of `child`, or null when it has none.
  const HybridSet* parents_set(uint32_t child) const;
  bool has_pair(uint32_t parent, uint32_t child) const;
  bool has_parents(uint32_t child) const { return parents_.contains(child); }
  size_t pair_count() const { return pair_count_; }
  // Every recorded (parent, child) pair, in no particular order.
  std::vector<std::pair<uint32_t, uint32_t>> pairs() const;

  // Removes every pair.
  void clear();

 private:
  using Side = std::array<NibbleIndexU32, kPositions>;
  // id -> its partners. Entries never hold empty sets.
  using Adjacency = std::unordered_map<uint32_t, HybridSet>;

  // The nibble side of `adjacency`: [i][d] holds the partners of the ids
  // whose nibble i is d.
  static Side nibble_side(const Adjacency& adjacency);
  static Bitmap nibble_lookup(const Side& side, const Bitmap& ids);
  static Bitmap exact_lookup(const Adjacency& adjacency, const Bitmap& ids);
  static void erase_partner(Adjacency& adjacency, uint32_t id, uint32_t partner);

  Adjacency children_;  // parent -> children
  Adjacency parents_;   // child -> parents
  size_t pair_count_ = 0;
};

}  // namespace vantorel
