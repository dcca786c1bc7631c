// NumericalBitmap: a bit-sliced index of the numbers held by one attribute.
//
// Every number is indexed under its OrderKey. For each of the 76 key bits the
// index keeps two bitmaps: the ids whose key has that bit clear and the ids
// whose key has it set. Every id with a number is in exactly one bitmap of
// every pair; an id without one is in none. A range query walks the bits
// from the most significant down, so its cost is 76 rounds of bitmap
// operations however many distinct values are stored.
//
// Bulk insertion uses push() and then flush(); every other operation, and
// every query, sees only flushed ids, so the owner flushes before it lets
// readers in. The owner removes an id's previous number before inserting a
// new one; insert does not look for it.
//
// A number that changes is moved later: defer_replace() queues the move
// (defer_remove() a removal), and the queue is applied bit position by bit
// position, which keeps each position's two bitmaps in cache for the whole
// batch instead of visiting every position for every move. Every writing operation applies the
// queue first; queries require an empty queue, so the owner calls drain_moves() before it lets
// readers at the slices.
//
// No lock of its own: the owner's reader-writer lock guards it. Queries are
// const and may run concurrently.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "native/structures/ordered_bitmap/order_key.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class NumericalBitmap {
 public:
  // Single-item path: writes the bitmaps directly.
  void insert(const OrderKey& key, uint32_t id);

  // Queues the move of `id`, stored under `old_key`, to `new_key`: only the
  // bit positions where the keys differ are touched. The queue is applied
  // when it reaches a fixed length, by drain_moves(), or by any other
  // writing call.
  void defer_replace(const OrderKey& old_key, const OrderKey& new_key, uint32_t id);
  // Queues the removal of `id`, stored under `key`, the same way.
  void defer_remove(const OrderKey& key, uint32_t id);
  bool has_queued_moves() const { return !moves_.empty(); }
  void drain_moves();

  // Bulk path: buffers `id`; visible to queries after flush().
  void push(const OrderKey& key, uint32_t id);
  void flush();

  // Add to `out` every id of `base` whose key is greater than, at least, less
  // than, or at most `key`. `out` is only added to; `base` is not changed.
  // Ids of `base` without a number are never added.
  void get_gt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;
  void get_gte_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;
  void get_lt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;
  void get_lte_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const;

  // Drops every id in `drop` (pending ids are flushed first).
  void remove_all(const Bitmap& drop);

  // Approximate heap and inline bytes held.
  size_t memory_bytes() const;

 private:
  // Bitmaps of one key bit: [0] ids with the bit clear, [1] ids with it set.
  using Slice = std::array<Bitmap, 2>;

  const Bitmap& ids_with(int bit, bool value) const { return slices_[bit][value]; }

  enum class Direction { kBelow, kAbove };

  // The range walk: adds to `out` the ids of `base` whose key lies above
  // (below) `key`, and those equal to it when `inclusive`.
  void collect_beyond(const OrderKey& key, Direction direction, bool inclusive, Bitmap& out,
                      const Bitmap& base) const;

  // Adds the pending (key, id) pairs to the slices, bit position by bit
  // position: two sequential passes per position instead of one buffered
  // append per (position, id).
  void drain_pending();

  struct Move {
    OrderKey old_key;
    OrderKey new_key;
    uint32_t id;
    bool removes;  // the id leaves: `new_key` is unused
  };

  std::array<Slice, OrderKey::kBits> slices_;
  std::vector<Move> moves_;
  std::vector<std::pair<OrderKey, uint32_t>> pending_;
  // Scratch of drain_pending(), kept across the drains of one bulk so that
  // each drain does not fault in fresh pages; freed by flush().
  std::vector<uint32_t> all_scratch_, clear_scratch_, set_scratch_;
};

}  // namespace vantorel
