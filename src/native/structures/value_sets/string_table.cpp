#include "native/structures/value_sets/string_table.h"

#include "native/common/internal_error.h"
#include "native/common/prefetch.h"

namespace vantorel {

static_assert(sizeof(StringTable::Entry) == 24);

size_t StringTable::probe(std::string_view key, uint32_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t at = home_of(hash);; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.entry == 0) return at;
    if (slot.hash == hash && entries_[slot.entry - 1].key.view() == key) return at;
  }
}

uint32_t StringTable::find(std::string_view key, uint64_t hash) const {
  if (size_ == 0) return kNone;
  const Slot& slot = slots_[probe(key, static_cast<uint32_t>(hash))];
  return slot.entry - 1;  // kNone for a free slot
}

std::pair<uint32_t, bool> StringTable::emplace(std::string_view key, HybridSet ids) {
  const auto hash = static_cast<uint32_t>(hash_of(key));
  size_t at = slots_.empty() ? 0 : probe(key, hash);
  if (!slots_.empty() && slots_[at].entry != 0) return {slots_[at].entry - 1, false};
  if ((size_ + 1) * 4 > slots_.size() * 3) {
    grow();
    at = probe(key, hash);
  }
  const uint32_t index = new_entry(key, std::move(ids));
  slots_[at] = Slot{hash, index + 1};
  ++size_;
  return {index, true};
}

uint32_t StringTable::new_entry(std::string_view key, HybridSet ids) {
  PackedText text(key);
  heap_key_bytes_ += text.heap_bytes();
  if (!free_.empty()) {
    const uint32_t index = free_.back();
    free_.pop_back();
    entries_[index] = Entry{std::move(text), std::move(ids)};
    return index;
  }
  if (entries_.size() >= kNone) throw InternalError("too many distinct strings");
  entries_.push_back(Entry{std::move(text), std::move(ids)});
  return static_cast<uint32_t>(entries_.size() - 1);
}

void StringTable::erase(uint32_t index) {
  const size_t mask = slots_.size() - 1;
  Entry& entry = entries_[index];
  size_t hole = home_of(static_cast<uint32_t>(hash_of(entry.key.view())));
  while (slots_[hole].entry != index + 1) hole = (hole + 1) & mask;
  heap_key_bytes_ -= entry.key.heap_bytes();
  entry = Entry{PackedText::vacant(), HybridSet()};
  free_.push_back(index);
  slots_[hole] = Slot{};
  --size_;
  // Shift back every later slot of the run whose home is not between the
  // hole and it (cyclically), so that lookups still reach it.
  for (size_t at = (hole + 1) & mask; slots_[at].entry != 0; at = (at + 1) & mask) {
    const size_t home = home_of(slots_[at].hash);
    const bool reachable = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
    if (reachable) continue;
    slots_[hole] = slots_[at];
    slots_[at] = Slot{};
    hole = at;
  }
}

void StringTable::prefetch_slot(uint64_t hash) const {
  if (!slots_.empty()) prefetch_line(&slots_[home_of(static_cast<uint32_t>(hash))]);
}

void StringTable::prefetch_entry(uint64_t hash) const {
  if (slots_.empty()) return;
  const auto bits = static_cast<uint32_t>(hash);
  const size_t mask = slots_.size() - 1;
  for (size_t at = home_of(bits); slots_[at].entry != 0; at = (at + 1) & mask) {
    if (slots_[at].hash == bits) {
      prefetch_line(&entries_[slots_[at].entry - 1]);
      return;
    }
  }
}

void StringTable::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_ = std::vector<Slot>(old.empty() ? kMinSlots : old.size() * 2);
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.entry == 0) continue;
    size_t at = home_of(slot.hash);
    while (slots_[at].entry != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

size_t StringTable::memory_bytes() const {
  return slots_.capacity() * sizeof(Slot) + entries_.capacity() * sizeof(Entry) +
         free_.capacity() * sizeof(uint32_t) + heap_key_bytes_;
}

}  // namespace vantorel
