// BulkQueryMapAdder: the insertion path of one QueryMap during a bulk add.
//
// It holds the write locks of the map's str_radix_map, num_ordered, bool_map
// and elements for its whole life (taken in that order) and appends ids to
// buffered bitmaps, so that the ids of each distinct value are written at
// once (structures built on demand are fed only while they exist, see
// OnDemand). Dropping the adder flushes every buffer before the locks go, so
// no query reads a half-buffered bitmap. Values that hold Indexable objects
// are not handled here (the bulk add enters them one by one after it).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/query/query.h"

namespace vantorel {

class BulkQueryMapAdder {
 public:
  explicit BulkQueryMapAdder(QueryMap& map);
  BulkQueryMapAdder(const BulkQueryMapAdder&) = delete;
  BulkQueryMapAdder& operator=(const BulkQueryMapAdder&) = delete;
  ~BulkQueryMapAdder();

  // Enters `value` for id `id`. `value` must not hold an Indexable.
  void insert(const PyValue& value, uint32_t id);
  // Enters every (id, value) of `batch`, as insert() does.
  void apply(std::vector<std::pair<uint32_t, PyValue>>& batch) {
    for (const auto& [id, value] : batch) insert(value, id);
  }

 private:
  QueryMap& map_;
  PoisonRwLock<std::unique_ptr<StringIndex>>::WriteGuard strings_;
  PoisonRwLock<std::unique_ptr<NumberIndex>>::WriteGuard numbers_;
  PoisonRwLock<std::unique_ptr<BoolMap>>::WriteGuard booleans_;
  PoisonRwLock<std::unique_ptr<ElementTable>>::WriteGuard elements_;
};

}  // namespace vantorel
