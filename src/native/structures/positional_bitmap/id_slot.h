// IdSlot: the ids of one cell of a PositionalBitmap (one byte value at one
// position, or the start or end mark of a position).
//
// A long string fills many cells that no other string shares, and a Roaring
// bitmap costs about 150 bytes even for one id. So an IdSlot holds a single
// id inline and creates a CellBitmap only when a second id arrives;
// when removals bring it back to one id (and nothing is pending) it returns
// to the inline form.
//
// insert and remove change the set at once; push buffers the id in the
// bitmap form until flush(). The read functions see only flushed ids (an
// inline id is always flushed). Copies are deep. No lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "native/structures/buffered_bitmap/buffered_bitmap.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

// The bitmap form of a cell. A bulk insertion buffers up to kCellBuffer ids
// in front of it and adds them with one call: fewer calls into the bitmap,
// for a buffer of kCellBuffer ids in every cell that the bulk is filling. A
// bulk over long strings fills many cells at once, which keeps the buffer
// small.
inline constexpr size_t kCellBuffer = 32;
using CellBitmap = BufferedBitmap<kCellBuffer>;

class IdSlot {
 public:
  IdSlot() = default;
  IdSlot(const IdSlot& other);
  IdSlot& operator=(const IdSlot& other);
  IdSlot(IdSlot&&) noexcept = default;
  IdSlot& operator=(IdSlot&&) noexcept = default;
  ~IdSlot() = default;

  // True when no id is stored, flushed or pending.
  bool empty() const;
  // Number of flushed ids.
  uint64_t cardinality() const;

  void insert(uint32_t id);
  void remove(uint32_t id);
  void push(uint32_t id);
  // Adds `count` ids (bulk path; visible at once).
  void add_many(const uint32_t* ids, size_t count);
  void flush();

  // running &= this set.
  void intersect_into(Bitmap& running) const;
  // out = this set.
  void copy_into(Bitmap& out) const;
  // out |= this set.
  void union_into(Bitmap& out) const;

  // Drops every id not in `keep`, after flushing.
  void retain_in(const Bitmap& keep);
  // Drops every id in `drop`, after flushing.
  void remove_all(const Bitmap& drop);
  // Adds the flushed ids of `other`.
  void merge_from(const IdSlot& other);

  // Heap bytes held (the inline form holds none).
  size_t memory_bytes() const;

 private:
  // Moves the inline id, if any, into a newly created bitmap form.
  void make_bitmap();
  // Returns to the inline or empty form when the bitmap holds at most one id
  // and nothing is pending.
  void shrink();

  std::unique_ptr<CellBitmap> many_;  // set when two or more ids
  uint32_t single_ = 0;
  bool has_single_ = false;  // never together with many_
};

}  // namespace vantorel
