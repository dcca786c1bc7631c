// IdSlot: the ids of one cell of a PositionalBitmap (one byte value at one
// position, or the start or end mark of a position).
//
// A long string fills many cells that no other string shares, and a Roaring
// bitmap costs about 150 bytes even for one id. So an IdSlot holds a single
// id inline and creates a bitmap only when a second id arrives; when
// removals bring it back to one id it returns to the inline form. No lock of
// its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class IdSlot {
 public:
  bool empty() const { return !has_single_ && (!many_ || many_->empty()); }
  uint64_t cardinality() const;

  void insert(uint32_t id);
  void remove(uint32_t id);
  // Adds `count` ids.
  void add_many(const uint32_t* ids, size_t count);

  // running &= this set.
  void intersect_into(Bitmap& running) const;
  // out = this set.
  void copy_into(Bitmap& out) const;
  // out |= this set.
  void union_into(Bitmap& out) const;

  // Drops every id in `drop`.
  void remove_all(const Bitmap& drop);

  // Heap bytes held (the inline form holds none).
  size_t memory_bytes() const;

 private:
  // Moves the inline id, if any, into a newly created bitmap.
  void make_bitmap();
  // Returns to the inline or empty form when the bitmap, which must exist,
  // holds at most one id.
  void shrink();

  std::unique_ptr<Bitmap> many_;  // set when two or more ids
  uint32_t single_ = 0;
  bool has_single_ = false;  // never together with many_
};

}  // namespace vantorel
