#include "core/item_table.h"

#include <algorithm>
#include <utility>

namespace vantorel {

StoredItem ItemTable::put(uint32_t id, const StoredItem& item, size_t min_size) {
  if (id >= size()) resize(std::max(min_size, static_cast<size_t>(id) + 1));
  StoredItem& slot = (*this)[id];
  if (slot.vacant()) {
    if (id >= filled_at_.size()) filled_at_.resize(size());
    filled_at_[id] = departures_;
  }
  return std::exchange(slot, item);
}

StoredItem ItemTable::vacate(uint32_t id) {
  if (id >= size()) return StoredItem{};
  ++departures_;
  return std::exchange((*this)[id], StoredItem{});
}

bool ItemTable::answers(uint32_t id, uint64_t epoch) const {
  if (!holds(id)) return false;
  return id >= filled_at_.size() || filled_at_[id] <= epoch;
}

Bitmap ItemTable::present(const Bitmap& ids, uint64_t epoch) const {
  if (departures_ == epoch) return ids;
  std::vector<uint32_t> kept;
  ids.for_each([&](uint32_t id) {
    if (answers(id, epoch)) kept.push_back(id);
  });
  return Bitmap::of(kept.data(), kept.size());
}

uint64_t ItemTable::count_present(const Bitmap& ids, uint64_t epoch) const {
  if (departures_ == epoch) return ids.cardinality();
  uint64_t count = 0;
  ids.for_each([&](uint32_t id) { count += answers(id, epoch) ? 1 : 0; });
  return count;
}

}  // namespace vantorel
