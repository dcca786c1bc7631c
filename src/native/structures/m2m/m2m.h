// M2MU32: the parent/child relation between item ids.
//
// When an attribute of an indexed object holds another indexed object, the
// holder is the parent and the held object the child.
//
// Exact adjacency: parent -> children and child -> parents sets. A lookup
// costs O(input ids x their partners) and never over-reports. Registering or
// removing a pair touches two sets.
//
// No lock of its own; the owning index core guards it with a reader-writer
// lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class M2MU32 {
 public:
  // Records the pair. Recording a pair twice changes nothing.
  void register_pair(uint32_t parent, uint32_t child);

  // Removes the pair if recorded; other pairs are unaffected.
  void unregister_pair(uint32_t parent, uint32_t child);

  // Every parent of any of `children`.
  Bitmap exact_parents_of(const Bitmap& children) const;
  // The parents of `child`, or null when it has none.
  const HybridSet* parents_set(uint32_t child) const;
  bool has_pair(uint32_t parent, uint32_t child) const;
  bool has_parents(uint32_t child) const { return parents_.contains(child); }
  // Every recorded (parent, child) pair, in no particular order.
  std::vector<std::pair<uint32_t, uint32_t>> pairs() const;

 private:
  // id -> its partners. Entries never hold empty sets.
  using Adjacency = std::unordered_map<uint32_t, HybridSet>;

  static void erase_partner(Adjacency& adjacency, uint32_t id, uint32_t partner);

  Adjacency children_;  // parent -> children
  Adjacency parents_;   // child -> parents
  size_t pair_count_ = 0;
};

}  // namespace vantorel
