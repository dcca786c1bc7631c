// SubIndexWriteLocks: the write locks of one QueryMap's str_radix_map,
// num_ordered, bool_map and elements, taken in that order when it is made
// and held until it is dropped, so that no query sees a batch half written.
// The base of the bulk adder and the bulk remover of a map.
#pragma once

#include <memory>

#include "core/query/query.h"

namespace vantorel {

class SubIndexWriteLocks {
 public:
  explicit SubIndexWriteLocks(QueryMap& map)
      : map_(map),
        strings_(map.str_radix_map.write()),
        numbers_(map.num_ordered.write()),
        booleans_(map.bool_map.write()),
        elements_(map.elements.write()) {}
  SubIndexWriteLocks(const SubIndexWriteLocks&) = delete;
  SubIndexWriteLocks& operator=(const SubIndexWriteLocks&) = delete;

 protected:
  QueryMap& map_;
  PoisonRwLock<std::unique_ptr<StringIndex>>::WriteGuard strings_;
  PoisonRwLock<std::unique_ptr<NumberIndex>>::WriteGuard numbers_;
  PoisonRwLock<std::unique_ptr<BoolMap>>::WriteGuard booleans_;
  PoisonRwLock<std::unique_ptr<ElementTable>>::WriteGuard elements_;
};

}  // namespace vantorel
