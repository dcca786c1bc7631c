#include "native/structures/flat_id_map/flat_id_map.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "native/common/internal_error.h"

namespace vantorel {

namespace {

constexpr size_t kMinSlots = 16;

}  // namespace

size_t FlatIdMap::home_of(uint32_t key) const {
  return (key ^ (key >> slot_bits_)) & (slots_.size() - 1);
}

std::optional<uint32_t> FlatIdMap::find(uint32_t key) const {
  if (size_ == 0) return std::nullopt;
  const size_t mask = slots_.size() - 1;
  for (size_t i = home_of(key);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.key == key) return slot.value;
    if (slot.key == kNoKey) return std::nullopt;
  }
}

void FlatIdMap::set(uint32_t key, uint32_t value) {
  if (key == kNoKey) throw InternalError("FlatIdMap cannot store the empty-slot key");
  if ((size_ + 1) * 2 > slots_.size()) rehash(std::max(kMinSlots, slots_.size() * 2));
  const size_t mask = slots_.size() - 1;
  const size_t home = home_of(key);
  for (size_t i = home;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.key == key) {
      slot.value = value;
      return;
    }
    if (slot.key == kNoKey) {
      slot = Slot{key, value};
      ++size_;
      max_displacement_ = std::max(max_displacement_, (i - home) & mask);
      return;
    }
  }
}

bool FlatIdMap::erase(uint32_t key) {
  if (size_ == 0) return false;
  const size_t mask = slots_.size() - 1;
  size_t hole = home_of(key);
  while (slots_[hole].key != key) {
    if (slots_[hole].key == kNoKey) return false;
    hole = (hole + 1) & mask;
  }
  // Backward shift: move up every following entry that may sit at the hole,
  // so that no probe sequence crosses an empty slot before its key. An entry
  // further from the hole than any entry sits from its home cannot move.
  for (size_t next = (hole + 1) & mask; slots_[next].key != kNoKey; next = (next + 1) & mask) {
    if (((next - hole) & mask) > max_displacement_) break;
    const size_t home = home_of(slots_[next].key);
    const bool hole_is_on_path = ((next - home) & mask) >= ((next - hole) & mask);
    if (hole_is_on_path) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = Slot{};
  --size_;
  if (slots_.size() > kMinSlots && size_ * 8 < slots_.size()) rehash(slots_.size() / 2);
  return true;
}

void FlatIdMap::rehash(size_t slot_count) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slot_count));
  slot_bits_ = std::countr_zero(slot_count);
  size_ = 0;
  max_displacement_ = 0;
  for (const Slot& slot : old) {
    if (slot.key != kNoKey) set(slot.key, slot.value);
  }
}

}  // namespace vantorel
