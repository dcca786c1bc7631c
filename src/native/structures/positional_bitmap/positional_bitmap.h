// PositionalBitmap: the string values of one attribute, indexed byte by byte
// and position by position, so that prefix, suffix and substring queries are
// intersections of per-position bitmaps.
//
// Strings are handled as bytes (UTF-8 for Python strings). With P positions
// (P even), a string of n >= 1 bytes starts at P / 2 - n / 2 - 1 and its
// byte j lies at position start + j, so strings are centred on the middle of
// the range, which grows at both ends. Per position the map keeps, for each
// byte value some string has there, the ids of those strings; a start mark
// (ids whose string's first byte is here) and an end mark (ids whose string's
// last byte is here), kept apart so that a prefix test can never match a
// string through its last byte. Empty strings are kept in a separate set.
//
// P is kept large enough that every stored string starts after position 0
// (P >= 2 * (n / 2) + 2): then growing the range to T positions and
// rotating right by (T - P) / 2 moves every stored string by exactly as much
// as its start position moves, and all of them stay where the placement
// expects. Cells are created when their first id arrives and removed when
// their last one leaves, so memory follows what is stored, not P * 256.
//
// Bulk insertion uses push() and then flush(). Queries read only flushed ids:
// callers flush before querying. No lock of its own: the owner's
// reader-writer lock guards it; const functions may run concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "native/structures/buffered_bitmap/buffered_bitmap.h"
#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class PositionalBitmap {
 public:
  // Single-item path.
  void insert(std::string_view value, uint32_t id);
  // Removes `id` as inserted with `value`; ids not stored there are ignored.
  void remove(std::string_view value, uint32_t id);

  // Bulk path: buffered until flush().
  void push(std::string_view value, uint32_t id);
  void flush();

  // Queries read only flushed ids: flush() after a bulk insertion first.
  //
  // Ids whose string begins with, ends with, or contains `pattern` anywhere.
  // An empty pattern matches every id holding a string, "" included.
  Bitmap starts_with(std::string_view pattern) const;
  Bitmap ends_with(std::string_view pattern) const;
  Bitmap contains(std::string_view pattern) const;

  // Drops every id in `drop` (pending ids are flushed first).
  void remove_all(const Bitmap& drop);

  // Every id holding a string, "" included.
  Bitmap all() const;

  // Approximate heap and inline bytes held.
  size_t memory_bytes() const;

 private:
  // Cell keys: a byte value, or one of the two marks.
  static constexpr uint16_t kStartMark = 256;
  static constexpr uint16_t kEndMark = 257;

  struct Cell {
    uint16_t key;
    HybridSet ids;  // never empty while the cell exists
  };

  // The non-empty cells of one position, sorted by key.
  struct Position {
    std::vector<Cell> cells;

    const HybridSet* find(uint16_t key) const;
    HybridSet& find_or_add(uint16_t key);
    // Removes `id` from the cell `key`, and the cell once it is empty.
    void remove(uint16_t key, uint32_t id);
  };

  // A bulk entry not yet in its cell.
  struct PendingEntry {
    uint32_t position;
    uint16_t key;
    uint32_t id;
  };

  // Moves the pending entries into the cells: a counting sort by position,
  // then by key (keeping push order), and one add_many per cell.
  void drain_pending();

  // (cardinality, cell) pairs whose intersection answers a query at one place.
  using CellList = std::vector<std::pair<uint64_t, const HybridSet*>>;

  // Grows the range so a string of `length` bytes can be placed, keeping
  // every stored string where the placement rule puts it.
  void make_room(size_t length);

  // Calls fn(position, key) for every cell a string of `value` (non-empty,
  // fitting the current range) occupies.
  template <class Fn>
  void for_each_cell(std::string_view value, Fn&& fn) const;

  // Appends the cells of `bytes` laid from `first` onwards. Returns false
  // when one is missing, so that nothing can match there.
  bool add_byte_cells(size_t first, std::string_view bytes, CellList& cells) const;
  bool add_cell(size_t position, uint16_t key, CellList& cells) const;
  // The union, over the places `first` to `last`, of the ids in every cell
  // that gather(place, cells) adds; a place where it returns false adds none.
  template <class Gather>
  Bitmap union_of_places(size_t first, size_t last, Gather&& gather) const;

  std::vector<Position> positions_;
  std::vector<PendingEntry> pending_;
  std::vector<PendingEntry> sorted_scratch_;  // kept across the drains of one bulk
  BufferedBitmap<32> empty_;                  // ids whose string is ""
};

}  // namespace vantorel
