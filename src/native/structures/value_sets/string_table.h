// StringTable: a hash table from distinct strings to their id sets, by open
// addressing.
//
// Each entry (a key and its set) has an allocation of its own and never
// moves while it exists, so a view of its key stays valid until the entry
// is erased. The table is an array of slots, each holding an entry's hash
// and a pointer to the entry; a lookup probes the slots one after another
// from the hash's home slot and compares a key only where the hash is
// equal. So a lookup reads one slot line and one entry, and a caller with
// many keys can ask for both ahead of time (prefetch_slot(),
// prefetch_entry()): their cache misses then overlap, where a node-based
// map's lookup follows a chain of pointers one miss after another.
//
// The array doubles once it is three quarters full. Erasure shifts the
// following slots of the probe run back, so no slot is ever marked deleted.
// No lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/common/fx_hash.h"
#include "native/structures/hybrid_set/hybrid_set.h"

namespace vantorel {

class StringTable {
 public:
  struct Entry {
    std::string key;
    HybridSet ids;
  };

  StringTable() = default;
  StringTable(const StringTable&) = delete;
  StringTable& operator=(const StringTable&) = delete;

  static uint64_t hash_of(std::string_view key) { return fx_hash_str(key); }

  // The entry of `key` (whose hash is `hash`), or null.
  Entry* find(std::string_view key, uint64_t hash) const;
  Entry* find(std::string_view key) const { return find(key, hash_of(key)); }

  // Inserts `key` with `ids` unless present; returns the entry and whether
  // it is new. Other entries do not move.
  std::pair<Entry*, bool> emplace(std::string_view key, HybridSet ids);

  // Erases the entry of `key`, if any.
  void erase(std::string_view key);

  // Asks the processor to load the home slot of `hash`.
  void prefetch_slot(uint64_t hash) const;
  // Asks it to load the entry that a lookup of `key` would compare first
  // (reading the slots, which prefetch_slot() asked for).
  void prefetch_entry(uint64_t hash) const;

  // Calls visit(entry) for every entry, in no particular order. `visit`
  // must not insert or erase.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& slot : slots_) {
      if (slot.entry) visit(std::as_const(*slot.entry));
    }
  }
  template <class Visit>
  void for_each(Visit&& visit) {
    for (Slot& slot : slots_) {
      if (slot.entry) visit(*slot.entry);
    }
  }

  size_t size() const { return size_; }
  // Approximate heap bytes of the slots and entries, without the keys' own
  // buffers and what large sets hold.
  size_t memory_bytes() const;

 private:
  struct Slot {
    uint64_t hash = 0;
    std::unique_ptr<Entry> entry;  // null: free
  };

  size_t home_of(uint64_t hash) const { return static_cast<size_t>(hash) & (slots_.size() - 1); }
  // The slot of `key`, or the free slot that ends its probe run.
  size_t probe(std::string_view key, uint64_t hash) const;
  void grow();

  static constexpr size_t kMinSlots = 16;

  std::vector<Slot> slots_;  // a power of two in size, or empty
  size_t size_ = 0;
};

}  // namespace vantorel
