// BulkQueryMapAdder: the insertion path of one QueryMap during a bulk add.
//
// It holds the map's sub-index write locks for its whole life
// (SubIndexWriteLocks) and appends ids to buffered bitmaps, so that the ids
// of each distinct value are written at once (structures built on demand are
// fed only while they exist, see OnDemand). Dropping the adder flushes every
// buffer before the locks go, so no query reads a half-buffered bitmap.
// Values that hold Indexable objects are not handled here (the bulk add
// enters them one by one after it).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/bulk/sub_index_locks.h"

namespace vantorel {

class BulkQueryMapAdder : private SubIndexWriteLocks {
 public:
  using SubIndexWriteLocks::SubIndexWriteLocks;
  ~BulkQueryMapAdder();

  // Enters `value` for id `id`. `value` must not hold an Indexable.
  void insert(const PyValue& value, uint32_t id);
  // Enters every (id, value) of `batch`, as insert() does.
  void apply(std::vector<std::pair<uint32_t, PyValue>>& batch) {
    for (const auto& [id, value] : batch) insert(value, id);
  }
};

}  // namespace vantorel
