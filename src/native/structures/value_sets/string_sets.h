// StringSets: the ids held under each distinct string of one attribute.
//
// A hash table from string to id set (StringTable) answers equality with
// one lookup. A sorted index over the same keys, which holds each key's
// first eight bytes and its index in the table (12 bytes a key), answers a
// prefix by walking the keys that start with it, which beats intersecting
// per-position bitmaps when few distinct strings share the prefix; that
// walk gives up after a caller-chosen number of keys. A substring can be
// answered by scanning the distinct keys with a linear-time search, whose
// cost does not grow with the length of the needle.
//
// A key whose last id leaves stays in both with an empty set, so that a
// removal costs one hash lookup, with no shift in the byte order and no
// erasure from the table. Lookups, scans and walks pass over such keys, and
// once they are a quarter of the keys one sweep takes them all out. No lock
// of its own: the owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "native/structures/chunked_map/chunked_map.h"
#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/roaring/bitmap.h"
#include "native/structures/value_sets/ordered_text.h"
#include "native/structures/value_sets/string_table.h"
#include "native/structures/value_sets/value_sets.h"

namespace vantorel {

class StringSets {
 public:
  StringSets() = default;
  StringSets(const StringSets&) = delete;
  StringSets& operator=(const StringSets&) = delete;

  void add(std::string_view key, uint32_t id);
  // add() for a writer that enters many ids at once: a new key goes into
  // the hash table now but into the byte order only at settle(), which sorts
  // all the new keys and merges them in one pass. Until then lookups by key
  // see every key, but prefix lookups and ordered walks miss the new ones.
  void add_deferred(std::string_view key, uint32_t id);
  void settle();
  // Removes `id` from under `key`; an id not stored there is ignored.
  void remove(std::string_view key, uint32_t id);
  // remove() for many (key, id) pairs sorted by key: one lookup per key,
  // the lookups of a group of keys asked for ahead together.
  void remove_sorted(std::span<const std::pair<OrderedText, uint32_t>> entries);

  // The ids stored under `key`, or null when it holds none.
  const HybridSet* find(std::string_view key) const;
  // Adds to `out` the ids stored under `key`.
  void add_matching(std::string_view key, Bitmap& out) const;
  // Adds to `out` the ids of every key that starts with `prefix`. Gives up,
  // returning false, once more than `max_keys` keys would be visited; `out`
  // then holds a partial answer.
  bool add_with_prefix(std::string_view prefix, Bitmap& out, size_t max_keys) const;
  // Adds to `out` the ids of every key that contains `needle`, or that ends
  // with `suffix`; both scan every distinct key.
  void add_containing(std::string_view needle, Bitmap& out) const;
  void add_ending_with(std::string_view suffix, Bitmap& out) const;

  // Calls visit(key, ids) for every key that holds ids, in byte order, or
  // in reverse byte order with `descending`, until it returns false.
  template <class Visit>
  void walk_keys(bool descending, Visit&& visit) const {
    // The table holds the entries in the order their keys came: each is
    // asked for kWalkAhead keys before its visit, so that the cache misses
    // of a walk overlap.
    sorted_.walk_chunks(
        descending, [&](std::span<const uint64_t>, std::span<const uint32_t> indexes) {
          const size_t count = indexes.size();
          auto index_at = [&](size_t k) { return indexes[descending ? count - 1 - k : k]; };
          for (size_t k = 0; k < std::min(count, kWalkAhead); ++k) sets_.prefetch(index_at(k));
          for (size_t k = 0; k < count; ++k) {
            if (k + kWalkAhead < count) sets_.prefetch(index_at(k + kWalkAhead));
            const StringTable::Entry& entry = sets_[index_at(k)];
            if (!entry.ids.empty() && !visit(entry.key.view(), entry.ids)) return false;
          }
          return true;
        });
  }

  // Removes every id of `drop`, and every key left empty.
  void remove_all(const Bitmap& drop);

  // The keys that hold at least one id.
  size_t key_count() const { return sets_.size() - empty_keys_; }
  size_t memory_bytes() const;

 private:
  static constexpr size_t kWalkAhead = 8;

  // The byte order: each entry's head (OrderedText::head_of its key) and
  // its index in the table; entries whose heads are equal are ordered by
  // their keys, read from the table.
  using Order = ChunkedMap<uint64_t, uint32_t>;

  // Whether the key of `index` (whose head is `head`) comes before `text`.
  bool comes_before(uint64_t head, uint32_t index, const OrderedText& text) const {
    return head != text.head ? head < text.head : key_of(head, index) < text;
  }
  OrderedText key_of(uint64_t head, uint32_t index) const {
    return OrderedText(sets_[index].key.view(), head);
  }
  // Enters `id` under `key` in the hash table; returns the key's index when
  // it is new (and so not yet in the byte order), else kNone.
  uint32_t add_to_sets(std::string_view key, uint32_t id);
  // Counts a key left empty, and sweeps when they are due.
  void emptied();
  bool sweep_due() const { return vantorel::sweep_due(empty_keys_, sets_.size()); }
  // Takes every empty key out of both: one pass over the byte order that
  // refills its chunks, then one hash table erasure per empty key.
  void sweep();

  StringTable sets_;
  Order sorted_;
  // Keys in `sets_` but not yet in `sorted_` (see add_deferred()).
  std::vector<uint32_t> unsorted_;
  size_t empty_keys_ = 0;  // keys whose set is empty
};

}  // namespace vantorel
