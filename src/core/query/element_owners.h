// ElementOwners: for each owner id, the elements its current iterable value
// was indexed with.
//
// Owner ids are item ids, which the allocator hands out densely, so an
// open-addressed id map (FlatIdMap) finds an owner's entry with about one
// cache miss and no pointer chasing. Entries live in a slab whose freed slots
// are reused, so taking an owner out frees no memory and walks no chain, which
// is what a batch removal does once per removed list. No lock of its own: the
// element table's lock guards it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "native/structures/flat_id_map/flat_id_map.h"
#include "values/value.h"

namespace vantorel {

// One element of an iterable value, as indexed under its masked id.
struct ElementEntry {
  uint32_t masked_id;
  PyValue value;
};

// The masked ids of one owner's elements, in element order. Up to kInline
// live in the entry itself: most lists are short, and their ids then cost
// no allocation when entered and no cache miss of their own when taken out.
class ElementIds {
 public:
  static constexpr size_t kInline = 4;

  void push_back(uint32_t id) {
    if (spilled_.empty() && inline_count_ < kInline) {
      inline_[inline_count_++] = id;
      return;
    }
    if (spilled_.empty()) spilled_.assign(inline_.begin(), inline_.end());
    spilled_.push_back(id);
  }
  size_t size() const { return spilled_.empty() ? inline_count_ : spilled_.size(); }
  uint32_t operator[](size_t i) const { return spilled_.empty() ? inline_[i] : spilled_[i]; }
  // Where the ids lie: in the entry, or on the heap once spilled.
  const uint32_t* data() const { return spilled_.empty() ? inline_.data() : spilled_.data(); }

 private:
  std::array<uint32_t, kInline> inline_{};
  uint32_t inline_count_ = 0;
  std::vector<uint32_t> spilled_;  // every id, once there are more than kInline
};

// The elements of one owner's iterable value: element i of the value's
// snapshot was indexed under masked_ids[i]. The snapshot is shared with the
// value itself, so the table keeps one reference per owner, not a copy of
// every element.
struct OwnedElements {
  std::shared_ptr<const std::vector<PyValue>> values;
  ElementIds masked_ids;

  std::vector<ElementEntry> entries() const;
};

class ElementOwners {
 public:
  // The entry of `owner`, or null. Valid until the next put() or take().
  const OwnedElements* find(uint32_t owner) const;
  // Enters `owned` for `owner`, replacing what it held.
  void put(uint32_t owner, OwnedElements owned);
  // Takes the entry of `owner` out and returns it; nullopt when it has none.
  std::optional<OwnedElements> take(uint32_t owner);
  // What prefetch() asks for, in the order a walk over owners asks for them:
  // the slot where the owner is looked up; then, once that has come in, its
  // entry; then, once that has come in, the entry's ids and elements.
  enum class Stage { kSlot, kEntry, kData };
  void prefetch(uint32_t owner, Stage stage) const;

  // Takes out every owner for which drop(owner) is true.
  template <class Drop>
  void erase_if(Drop&& drop) {
    std::vector<uint32_t> dropped;
    slot_of_.for_each([&](uint32_t owner, uint32_t) {
      if (drop(owner)) dropped.push_back(owner);
    });
    for (uint32_t owner : dropped) take(owner);
  }

 private:
  // When three quarters of the slab's slots are free (and at least this many),
  // the live entries move together, so a slab that once held many lists does
  // not keep their room.
  static constexpr size_t kMinCompacted = 1024;

  void compact();

  FlatIdMap slot_of_;                  // owner -> index into entries_
  std::deque<OwnedElements> entries_;  // stable, no doubling slack
  std::vector<uint32_t> free_slots_;   // indexes of emptied entries
};

}  // namespace vantorel
