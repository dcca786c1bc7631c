// BulkQueryMapRemover: the removal path of one QueryMap for a batch of
// objects.
//
// It holds the map's sub-index write locks for its whole life
// (SubIndexWriteLocks). Each apply() sorts the removals of its batch by value
// and takes them out one distinct value at a time: a value shared by many of
// the removed objects is looked up once, and the value order is walked in
// ascending order. Values that hold Indexable objects are not handled here
// (their removal takes the held objects' membership mutexes, which must not
// be waited for under these locks).
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/bulk/sub_index_locks.h"

namespace vantorel {

class BulkQueryMapRemover : private SubIndexWriteLocks {
 public:
  using SubIndexWriteLocks::SubIndexWriteLocks;

  // Takes out every (id, value) of `batch`: each value must be the one
  // entered for its id, and hold no Indexable. An id not entered under its
  // value is ignored. Iterable values take their elements with them.
  void apply(std::vector<std::pair<uint32_t, PyValue>>& batch);

 private:
  struct Removals;
  // Files `value` of `id` under its kind in `removals`; an iterable's
  // elements are taken from their owner now (take_elements) and filed in
  // turn; their masked ids are forgotten after the batch (free_elements).
  void file(const PyValue& value, uint32_t id, Removals& removals);
  void take_elements(uint32_t owner, Removals& removals);
  // Each takes its filed removals out of its sub-index.
  void remove_numbers(std::vector<std::pair<OrderKey, uint32_t>>& entries);
  void remove_strings(std::vector<std::pair<OrderedText, uint32_t>>& entries);
  void remove_booleans(std::array<std::vector<uint32_t>, 2>& slots);
  // Forgets the taken elements' masked ids (their owners and their marks),
  // then gives them back.
  void free_elements(std::vector<uint32_t> masked_ids);
};

}  // namespace vantorel
