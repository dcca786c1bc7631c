// StringTable: a hash table from distinct strings to their id sets, by open
// addressing.
//
// Each entry (a key, as a PackedText, and its set) is 24 bytes in one array
// and is known by its index there, which never changes while the entry
// exists; an erased entry's index is handed out again. The hash table is a
// separate array of slots, each holding the low 32 bits of an entry's hash
// and its index. A lookup probes the slots one after another from the
// hash's home slot and compares a key only where the hash bits are equal.
// So a lookup reads one slot line and one entry, and a caller with many keys
// can ask for both ahead of time (prefetch_slot(), prefetch_entry()): their
// cache misses then overlap.
//
// The slots double once they are three quarters full. Erasure shifts the
// following slots of the probe run back, so no slot is ever marked deleted.
// References to entries are invalidated by emplace(). No lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "native/common/fx_hash.h"
#include "native/common/prefetch.h"
#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/value_sets/packed_text.h"

namespace vantorel {

class StringTable {
 public:
  struct Entry {
    PackedText key;
    HybridSet ids;
  };
  static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

  StringTable() = default;
  StringTable(const StringTable&) = delete;
  StringTable& operator=(const StringTable&) = delete;

  static uint64_t hash_of(std::string_view key) { return fx_hash_str(key); }

  // The index of the entry of `key` (whose hash is `hash`), or kNone.
  uint32_t find(std::string_view key, uint64_t hash) const;
  uint32_t find(std::string_view key) const { return find(key, hash_of(key)); }

  // Inserts `key` with `ids` unless present; returns the entry's index and
  // whether it is new.
  std::pair<uint32_t, bool> emplace(std::string_view key, HybridSet ids);

  // Erases the entry at `index`, which exists.
  void erase(uint32_t index);

  Entry& operator[](uint32_t index) { return entries_[index]; }
  const Entry& operator[](uint32_t index) const { return entries_[index]; }

  // Asks the processor to load the home slot of `hash`.
  void prefetch_slot(uint64_t hash) const;
  // Asks it to load the entry that a lookup of a key of hash `hash` would
  // compare first (reading the slots, which prefetch_slot() asked for).
  void prefetch_entry(uint64_t hash) const;

  // Asks the processor to load the entry at `index` (both lines, when it
  // spans two).
  void prefetch(uint32_t index) const {
    const char* entry = reinterpret_cast<const char*>(&entries_[index]);
    prefetch_line(entry);
    prefetch_line(entry + sizeof(Entry) - 1);
  }

  // Calls visit(entry) for every entry, in index order. `visit` must not
  // insert or erase.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Entry& entry : entries_) {
      if (!entry.key.is_vacant()) visit(entry);
    }
  }
  template <class Visit>
  void for_each(Visit&& visit) {
    for (Entry& entry : entries_) {
      if (!entry.key.is_vacant()) visit(entry);
    }
  }

  size_t size() const { return size_; }
  // Approximate heap bytes of the slots, the entries and long keys, without
  // what the sets hold.
  size_t memory_bytes() const;

 private:
  struct Slot {
    uint32_t hash = 0;   // the low bits of the entry's hash
    uint32_t entry = 0;  // its index plus one; 0: free
  };

  size_t home_of(uint32_t hash) const { return hash & (slots_.size() - 1); }
  // The slot of `key`, or the free slot that ends its probe run.
  size_t probe(std::string_view key, uint32_t hash) const;
  // A new entry's index, reusing an erased one's.
  uint32_t new_entry(std::string_view key, HybridSet ids);
  void grow();

  static constexpr size_t kMinSlots = 16;

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::vector<Entry> entries_;
  std::vector<uint32_t> free_;  // indexes of vacant entries
  size_t size_ = 0;
  size_t heap_key_bytes_ = 0;
};

}  // namespace vantorel
