#include "native/structures/ordered_bitmap/ordered_bitmap.h"

#include <vector>

namespace vantorel {

void NumericalBitmap::insert(const OrderKey& key, uint32_t id) {
  drain_moves();
  for (int n = 0; n < OrderKey::kBits; ++n) slices_[n][key.bit(n)].add(id);
}

namespace {

// Pending pairs are drained in chunks of this many, which keeps the id
// vectors of one pass in cache and bounds the memory of a long bulk.
constexpr size_t kPendingChunk = 1 << 15;

// Queued moves are applied once there are this many.
constexpr size_t kMaxQueuedMoves = 4096;

}  // namespace

void NumericalBitmap::defer_replace(const OrderKey& old_key, const OrderKey& new_key, uint32_t id) {
  if (old_key == new_key) return;
  moves_.push_back({old_key, new_key, id, false});
  if (moves_.size() >= kMaxQueuedMoves) drain_moves();
}

void NumericalBitmap::defer_remove(const OrderKey& key, uint32_t id) {
  moves_.push_back({key, key, id, true});
  if (moves_.size() >= kMaxQueuedMoves) drain_moves();
}

void NumericalBitmap::drain_moves() {
  if (moves_.empty()) return;
  // The positions where some move changes the bit; the others are skipped.
  uint16_t head_changes = 0;
  uint64_t tail_changes = 0;
  for (const Move& move : moves_) {
    if (move.removes) {
      head_changes = 0xFFF;
      tail_changes = ~uint64_t{0};
      break;
    }
    head_changes |= move.old_key.head ^ move.new_key.head;
    tail_changes |= move.old_key.tail ^ move.new_key.tail;
  }
  const OrderKey changes{head_changes, tail_changes};
  // Moves of one id are applied in queue order, so a chain of them ends
  // where the last one ends.
  for (int n = 0; n < OrderKey::kBits; ++n) {
    if (!changes.bit(n)) continue;
    Slice& slice = slices_[n];
    for (const Move& move : moves_) {
      const bool old_bit = move.old_key.bit(n);
      if (move.removes) {
        slice[old_bit].remove(move.id);
        continue;
      }
      if (old_bit == move.new_key.bit(n)) continue;
      slice[old_bit].remove(move.id);
      slice[!old_bit].add(move.id);
    }
  }
  moves_.clear();
}

void NumericalBitmap::push(const OrderKey& key, uint32_t id) {
  drain_moves();
  pending_.emplace_back(key, id);
  if (pending_.size() >= kPendingChunk) drain_pending();
}

void NumericalBitmap::flush() {
  drain_moves();
  drain_pending();
  pending_ = {};
  all_scratch_ = {};
  clear_scratch_ = {};
  set_scratch_ = {};
}

void NumericalBitmap::drain_pending() {
  if (pending_.empty()) return;
  // Bit positions on which every pending key agrees (most of them, for
  // values of similar magnitude) take all the ids in one bitmap union; only
  // the positions that vary are split id by id.
  uint16_t head_and = 0xFFF, head_or = 0;
  uint64_t tail_and = ~uint64_t{0}, tail_or = 0;
  std::vector<uint32_t>& all_ids = all_scratch_;
  all_ids.clear();
  for (const auto& [key, id] : pending_) {
    head_and &= key.head;
    head_or |= key.head;
    tail_and &= key.tail;
    tail_or |= key.tail;
    all_ids.push_back(id);
  }
  const OrderKey always_set{head_and, tail_and};
  const OrderKey ever_set{head_or, tail_or};
  const Bitmap every = Bitmap::of(all_ids.data(), all_ids.size());
  std::vector<uint32_t>& clear_ids = clear_scratch_;
  std::vector<uint32_t>& set_ids = set_scratch_;
  clear_ids.resize(pending_.size());
  set_ids.resize(pending_.size());
  for (int n = 0; n < OrderKey::kBits; ++n) {
    if (always_set.bit(n) || !ever_set.bit(n)) {
      slices_[n][always_set.bit(n) ? 1 : 0] |= every;
      continue;
    }
    size_t set_count = 0;
    size_t clear_count = 0;
    for (const auto& [key, id] : pending_) {
      const bool bit = key.bit(n);
      set_ids[set_count] = id;
      clear_ids[clear_count] = id;
      set_count += bit;
      clear_count += !bit;
    }
    slices_[n][0].add_many(clear_ids.data(), clear_count);
    slices_[n][1].add_many(set_ids.data(), set_count);
  }
  pending_.clear();
}

void NumericalBitmap::remove_all(const Bitmap& drop) {
  drain_moves();
  drain_pending();
  for (Slice& slice : slices_) {
    for (Bitmap& ids : slice) ids -= drop;
  }
}

size_t NumericalBitmap::memory_bytes() const {
  size_t bytes = sizeof(*this) + moves_.capacity() * sizeof(Move);
  for (const Slice& slice : slices_) {
    for (const Bitmap& ids : slice) bytes += ids.memory_bytes();
  }
  return bytes;
}

}  // namespace vantorel
