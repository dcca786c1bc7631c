#include "native/structures/value_sets/string_table.h"

#include "native/common/prefetch.h"

namespace vantorel {

size_t StringTable::probe(std::string_view key, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t at = home_of(hash);; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (!slot.entry || (slot.hash == hash && slot.entry->key == key)) return at;
  }
}

StringTable::Entry* StringTable::find(std::string_view key, uint64_t hash) const {
  if (size_ == 0) return nullptr;
  return slots_[probe(key, hash)].entry.get();
}

std::pair<StringTable::Entry*, bool> StringTable::emplace(std::string_view key, HybridSet ids) {
  const uint64_t hash = hash_of(key);
  size_t at = slots_.empty() ? 0 : probe(key, hash);
  if (!slots_.empty() && slots_[at].entry) return {slots_[at].entry.get(), false};
  if ((size_ + 1) * 4 > slots_.size() * 3) {
    grow();
    at = probe(key, hash);
  }
  Slot& slot = slots_[at];
  slot.hash = hash;
  slot.entry = std::make_unique<Entry>(Entry{std::string(key), std::move(ids)});
  ++size_;
  return {slot.entry.get(), true};
}

void StringTable::erase(std::string_view key) {
  if (size_ == 0) return;
  const size_t mask = slots_.size() - 1;
  size_t hole = probe(key, hash_of(key));
  if (!slots_[hole].entry) return;
  slots_[hole].entry.reset();
  --size_;
  // Shift back every later slot of the run whose home is not between the
  // hole and it (cyclically), so that lookups still reach it.
  for (size_t at = (hole + 1) & mask; slots_[at].entry; at = (at + 1) & mask) {
    const size_t home = home_of(slots_[at].hash);
    const bool reachable = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
    if (reachable) continue;
    slots_[hole] = std::move(slots_[at]);
    hole = at;
  }
}

void StringTable::prefetch_slot(uint64_t hash) const {
  if (!slots_.empty()) prefetch_line(&slots_[home_of(hash)]);
}

void StringTable::prefetch_entry(uint64_t hash) const {
  if (slots_.empty()) return;
  const size_t mask = slots_.size() - 1;
  for (size_t at = home_of(hash); slots_[at].entry; at = (at + 1) & mask) {
    if (slots_[at].hash == hash) {
      prefetch_line(slots_[at].entry.get());
      return;
    }
  }
}

void StringTable::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_ = std::vector<Slot>(old.empty() ? kMinSlots : old.size() * 2);
  const size_t mask = slots_.size() - 1;
  for (Slot& slot : old) {
    if (!slot.entry) continue;
    size_t at = home_of(slot.hash);
    while (slots_[at].entry) at = (at + 1) & mask;
    slots_[at] = std::move(slot);
  }
}

size_t StringTable::memory_bytes() const {
  // Each entry's allocation, with the allocator's header.
  return slots_.size() * sizeof(Slot) + size_ * (sizeof(Entry) + sizeof(void*));
}

}  // namespace vantorel
