// FlatIdMap: a map from 32-bit id to 32-bit id in one open-addressed array.
//
// Lookups probe consecutive slots of a single array (linear probing), so a
// hit usually costs one cache miss and no pointer chasing; erasing shifts the
// following entries back instead of leaving tombstones. The slot of a key is
// the key folded onto itself (its high part XORed into its low part), which
// keeps every aligned run of eight consecutive ids in one run of eight slots:
// ids are handed out densely, so looking up ascending ids touches each cache
// line once instead of once per id. Dense ids therefore fill long runs of
// slots, each at its own home; erasing scans the run after the hole only as
// far as any entry sits from its home (the longest displacement an insertion
// has made since the last rehash), not to the run's end. The table keeps at
// most half its slots in use, and shrinks when it falls below an eighth.
// The key 0xFFFFFFFF marks an empty slot and cannot be stored.
//
// No lock of its own: the owner's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "native/common/prefetch.h"

namespace vantorel {

class FlatIdMap {
 public:
  static constexpr uint32_t kNoKey = UINT32_MAX;

  FlatIdMap() = default;

  std::optional<uint32_t> find(uint32_t key) const;
  // Inserts or overwrites. Throws InternalError for kNoKey.
  void set(uint32_t key, uint32_t value);
  // Returns whether `key` was present.
  bool erase(uint32_t key);
  // Asks for the cache line of `key`'s home slot, ahead of a lookup.
  void prefetch(uint32_t key) const {
    if (!slots_.empty()) prefetch_line(&slots_[home_of(key)]);
  }

  size_t size() const { return size_; }
  size_t memory_bytes() const { return slots_.capacity() * sizeof(Slot); }

  // Calls fn(key, value) for every entry, in no particular order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (const Slot& slot : slots_) {
      if (slot.key != kNoKey) fn(slot.key, slot.value);
    }
  }

 private:
  struct Slot {
    uint32_t key = kNoKey;
    uint32_t value = 0;
  };

  size_t home_of(uint32_t key) const;
  void rehash(size_t slot_count);

  std::vector<Slot> slots_;  // empty, or a power of two of at least 16 slots
  size_t size_ = 0;
  int slot_bits_ = 0;  // log2(slot count)
  // No entry sits further than this from its home slot: insertions raise it,
  // erasures only move entries closer to home.
  size_t max_displacement_ = 0;
};

}  // namespace vantorel
