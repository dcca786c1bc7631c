// Placement, growth and updates of PositionalBitmap.
#include "native/structures/positional_bitmap/positional_bitmap.h"

#include <algorithm>
#include <array>

namespace vantorel {

namespace {

// Where a string of `length` >= 1 bytes starts among `positions` positions.
// Requires positions >= required_positions(length).
size_t start_position(size_t positions, size_t length) {
  return positions / 2 - length / 2 - 1;
}

// The fewest positions that can hold a string of `length` bytes with room for
// the placement rule to stay valid under growth.
size_t required_positions(size_t length) {
  return 2 * (length / 2) + 2;
}

// The first of `cells` (sorted by key) whose key is not below `key`.
template <class Cells>
auto first_cell_from(Cells& cells, uint16_t key) {
  return std::lower_bound(cells.begin(), cells.end(), key,
                          [](const auto& cell, uint16_t k) { return cell.key < k; });
}

}  // namespace

const HybridSet* PositionalBitmap::Position::find(uint16_t key) const {
  auto it = first_cell_from(cells, key);
  return it != cells.end() && it->key == key ? &it->ids : nullptr;
}

HybridSet& PositionalBitmap::Position::find_or_add(uint16_t key) {
  auto it = first_cell_from(cells, key);
  if (it == cells.end() || it->key != key) it = cells.insert(it, Cell{key, HybridSet()});
  return it->ids;
}

void PositionalBitmap::Position::remove(uint16_t key, uint32_t id) {
  auto it = first_cell_from(cells, key);
  if (it == cells.end() || it->key != key) return;
  it->ids.remove(id);
  if (!it->ids.empty()) return;
  cells.erase(it);
  if (cells.empty()) cells.shrink_to_fit();  // give back the memory of removed long strings
}

void PositionalBitmap::make_room(size_t length) {
  const size_t needed = required_positions(length);
  const size_t old_count = positions_.size();
  if (old_count >= needed) return;
  // The new positions go half in front, half behind: rotating right by half
  // the growth moves every stored string by as much as the centre moves.
  positions_.resize(needed);
  const size_t shift = (needed - old_count) / 2;
  std::rotate(positions_.begin(), positions_.end() - shift, positions_.end());
  for (PendingEntry& entry : pending_) entry.position += static_cast<uint32_t>(shift);
}

template <class Fn>
void PositionalBitmap::for_each_cell(std::string_view value, Fn&& fn) const {
  size_t start = start_position(positions_.size(), value.size());
  fn(start, kStartMark);
  fn(start + value.size() - 1, kEndMark);
  for (size_t j = 0; j < value.size(); ++j) {
    fn(start + j, static_cast<uint16_t>(static_cast<unsigned char>(value[j])));
  }
}

void PositionalBitmap::insert(std::string_view value, uint32_t id) {
  if (value.empty()) {
    empty_.bitmap().add(id);
    return;
  }
  make_room(value.size());
  for_each_cell(
      value, [&](size_t position, uint16_t key) { positions_[position].find_or_add(key).add(id); });
}

void PositionalBitmap::push(std::string_view value, uint32_t id) {
  if (value.empty()) {
    empty_.push(id);
    return;
  }
  make_room(value.size());
  // Entries wait and reach the cells in batches at flush(); a long bulk is
  // drained early to bound the memory.
  constexpr size_t kDrainAt = size_t{1} << 18;
  for_each_cell(value, [&](size_t position, uint16_t key) {
    pending_.push_back({static_cast<uint32_t>(position), key, id});
  });
  if (pending_.size() >= kDrainAt) drain_pending();
}

void PositionalBitmap::remove(std::string_view value, uint32_t id) {
  if (value.empty()) {
    empty_.bitmap().remove(id);
    return;
  }
  if (positions_.size() < required_positions(value.size())) return;  // never stored
  for_each_cell(value,
                [&](size_t position, uint16_t key) { positions_[position].remove(key, id); });
}

void PositionalBitmap::drain_pending() {
  if (pending_.empty()) return;
  std::vector<uint32_t> by_position(positions_.size() + 1, 0);
  for (const PendingEntry& entry : pending_) ++by_position[entry.position + 1];
  for (size_t p = 0; p < positions_.size(); ++p) by_position[p + 1] += by_position[p];
  std::vector<PendingEntry>& sorted = sorted_scratch_;
  sorted.resize(pending_.size());
  {
    std::vector<uint32_t> next(by_position.begin(), by_position.end() - 1);
    for (const PendingEntry& entry : pending_) sorted[next[entry.position]++] = entry;
  }
  constexpr size_t kKeys = kEndMark + 1;
  std::vector<uint32_t> ids;
  for (size_t p = 0; p < positions_.size(); ++p) {
    const uint32_t begin = by_position[p];
    const uint32_t end = by_position[p + 1];
    if (begin == end) continue;
    std::array<uint32_t, kKeys + 1> by_key{};
    for (uint32_t i = begin; i < end; ++i) ++by_key[sorted[i].key + 1];
    for (size_t key = 0; key < kKeys; ++key) by_key[key + 1] += by_key[key];
    ids.resize(end - begin);
    std::array<uint32_t, kKeys> next;
    std::copy(by_key.begin(), by_key.begin() + kKeys, next.begin());
    for (uint32_t i = begin; i < end; ++i) ids[next[sorted[i].key]++] = sorted[i].id;
    for (size_t key = 0; key < kKeys; ++key) {
      const uint32_t count = by_key[key + 1] - by_key[key];
      if (count == 0) continue;
      positions_[p]
          .find_or_add(static_cast<uint16_t>(key))
          .add_many({ids.data() + by_key[key], count});
    }
  }
  pending_.clear();
}

void PositionalBitmap::flush() {
  drain_pending();
  pending_ = {};
  sorted_scratch_ = {};
  empty_.flush();
}

void PositionalBitmap::remove_all(const Bitmap& drop) {
  drain_pending();
  for (Position& position : positions_) {
    for (Cell& cell : position.cells) cell.ids.remove_in(drop);
    std::erase_if(position.cells, [](const Cell& cell) { return cell.ids.empty(); });
    if (position.cells.empty()) position.cells.shrink_to_fit();
  }
  empty_.flush();
  empty_.bitmap() -= drop;
}

Bitmap PositionalBitmap::all() const {
  Bitmap result(empty_.bitmap());
  // Every non-empty string has exactly one start mark.
  for (const Position& position : positions_) {
    if (const HybridSet* starts = position.find(kStartMark)) starts->add_to(result);
  }
  return result;
}

size_t PositionalBitmap::memory_bytes() const {
  size_t bytes = sizeof(*this) + positions_.capacity() * sizeof(Position);
  for (const Position& position : positions_) {
    bytes += position.cells.capacity() * sizeof(Cell);
    for (const Cell& cell : position.cells) bytes += cell.ids.memory_bytes();
  }
  return bytes + pending_.capacity() * sizeof(PendingEntry) + empty_.bitmap().memory_bytes();
}

}  // namespace vantorel
