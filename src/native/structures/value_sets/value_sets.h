// The ids held under each distinct key of one attribute: NumberSets here,
// StringSets (string_sets.h) for strings, and what the two share.
//
// Equality is one lookup, whatever the number of distinct keys. Over an
// ordered map, a range is a walk over the keys between its bounds: when few
// distinct keys fall in the range this beats a walk over bit slices, so the
// walk stops after a caller-chosen number of keys and reports that it gave
// up, leaving the caller to answer another way.
//
// A key whose last id leaves stays in the map with an empty set, so that a
// removal costs one lookup and no shift of its neighbours. Lookups and walks
// pass over such keys, and once they are a quarter of the map one sweep
// takes them all out. No lock of its own: the owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "native/common/internal_error.h"
#include "native/structures/chunked_map/chunked_map.h"
#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/ordered_bitmap/order_key.h"
#include "native/structures/roaring/bitmap.h"
#include "native/structures/value_sets/packed_key.h"

namespace vantorel {

// One end of a range over ordered keys.
template <class Key>
struct KeyBound {
  Key key;
  bool inclusive;
};

// Calls each(run) for every run of equal keys of `entries`, (key, id) pairs
// sorted by key.
template <class Pair, class Each>
void for_each_key_run(std::span<const Pair> entries, Each&& each) {
  for (size_t at = 0; at < entries.size();) {
    size_t end = at + 1;
    while (end < entries.size() && entries[end].first == entries[at].first) ++end;
    each(entries.subspan(at, end - at));
    at = end;
  }
}

// Whether a map of `keys` keys, `empty_keys` of them left empty by
// removals, is due for the sweep that takes the empty ones out: when they
// are a quarter of the keys, and at least 64 (so that a small map is not
// swept after every removal). Shared by the value sets of numbers and of
// strings.
inline bool sweep_due(size_t empty_keys, size_t keys) {
  constexpr size_t kMinSweep = 64;
  return empty_keys >= kMinSweep && empty_keys * 4 >= keys;
}

// Removes the ids of each run's pairs from the run's set (null: the key is
// absent). Returns how many of the sets this left empty; a set empty
// already is left alone. `ids` is working space, kept across calls.
template <class Pair>
size_t remove_runs(std::span<const std::pair<HybridSet*, std::span<const Pair>>> runs,
                   std::vector<uint32_t>& ids) {
  size_t emptied = 0;
  for (const auto& [set, run] : runs) {
    if (set == nullptr || set->empty()) continue;
    ids.clear();
    for (const Pair& entry : run) ids.push_back(entry.second);
    std::sort(ids.begin(), ids.end());
    set->remove_many(ids);
    emptied += set->empty() ? 1 : 0;
  }
  return emptied;
}

// NumberSets: the ids held under each distinct number of one attribute, in
// numeric order. Keys are OrderKeys (made by order_key()). Narrow keys (see
// PackedKey), which are every double and every integer that a double holds
// exactly, are held by their 64 high bits in one map, so that a search
// compares 64-bit integers; wide ones by their packed keys in another, which
// is most often empty.
class NumberSets {
 public:
  NumberSets() = default;
  NumberSets(const NumberSets&) = delete;
  NumberSets& operator=(const NumberSets&) = delete;

  // Enters `id` under `key`.
  void add(const OrderKey& key, uint32_t id);

  // add() for a writer that enters many ids at once: an id under a key that
  // is present goes in now, one under a new key waits for settle(), which
  // enters all the new keys in one sorted merge. Until then lookups and walks
  // do not see the waiting keys, and no other call may write.
  void add_deferred(const OrderKey& key, uint32_t id);
  // Enters the ids that add_deferred() kept waiting.
  void settle();

  // Removes `id` from under `key`; an id not stored there is ignored.
  void remove(const OrderKey& key, uint32_t id);

  // Moves `id` from under `from` to under `to`, later: the move joins a log
  // that apply_moves() applies in one batch, grouped by key, so that each
  // assignment is an append and each key touched is updated once per batch.
  // The log is applied here once it holds a quarter as many moves as the
  // sets hold ids (and at least kMinMoveLog), and by every other writing
  // call before it writes. Lookups, walks and key_count() require it empty
  // (they throw InternalError otherwise); add_matching() and add_range()
  // answer with it applied in passing, for a reader that cannot take the
  // write lock that apply_moves() needs.
  void defer_move(const OrderKey& from, const OrderKey& to, uint32_t id);
  bool has_pending_moves() const { return !moves_.empty(); }
  void apply_moves() {
    if (!moves_.empty()) apply_logged_moves();
  }
  static constexpr size_t kMinMoveLog = 4096;

  // remove() for many (key, id) pairs sorted by key: one lookup per key,
  // the lookups of a group of keys done together (see
  // ChunkedMap::lower_bounds()).
  void remove_sorted(std::span<const std::pair<OrderKey, uint32_t>> entries);

  // The ids stored under `key`, or null when it holds none. Requires no
  // pending moves.
  const HybridSet* find(const OrderKey& key) const;
  // Adds to `out` the ids stored under `key`.
  void add_matching(const OrderKey& key, Bitmap& out) const;

  // Adds to `out` the ids of every key between the bounds (a missing bound
  // is open). Gives up, returning false, once more than `max_keys` keys
  // would be visited; `out` then holds a partial answer.
  bool add_range(const KeyBound<OrderKey>* lower, const KeyBound<OrderKey>* upper, Bitmap& out,
                 size_t max_keys) const;

  // Whether the map has a key below (above) `key`. A key that removals left
  // empty counts until the sweep takes it out; while moves are pending the
  // answer is true.
  bool has_key_below(const OrderKey& key) const;
  bool has_key_above(const OrderKey& key) const;

  // Calls visit(key, ids) for every key in ascending order, or descending
  // with `descending`, until it returns false.
  template <class Visit>
  void walk_keys(bool descending, Visit&& visit) const;

  // Removes every id of `drop`, and every key left empty.
  void remove_all(const Bitmap& drop);

  // The keys that hold at least one id.
  size_t key_count() const {
    require_no_pending_moves();
    return narrow_.size() + wide_.size() - empty_keys_;
  }

  // Approximate heap bytes: the maps' chunks, and what the sets hold.
  size_t memory_bytes() const;

 private:
  using Narrow = ChunkedMap<uint64_t, HybridSet>;
  using Wide = ChunkedMap<PackedKey, HybridSet>;

  // A key as each map holds it.
  static uint64_t key_in(const Narrow&, const PackedKey& key) { return key.high(); }
  static const PackedKey& key_in(const Wide&, const PackedKey& key) { return key; }
  static PackedKey packed(uint64_t high) { return PackedKey::narrow(high); }
  static const PackedKey& packed(const PackedKey& key) { return key; }

  // One map's entries in the order of a walk, for walk_keys() to merge.
  template <class Map>
  struct Cursor {
    Cursor(const Map& of, bool down)
        : map(of), descending(down), next(down ? of.end() : of.begin()) {}
    bool done() const { return next == (descending ? map.begin() : map.end()); }
    typename Map::const_iterator entry() const {
      auto at = next;
      return descending ? --at : at;
    }
    void advance() { descending ? --next : ++next; }

    const Map& map;
    bool descending;
    typename Map::const_iterator next;  // descending: one past the entry
  };

  // The set stored under `key`, empty or not, or null when the key is absent.
  const HybridSet* set_of(const PackedKey& key) const;
  HybridSet* set_of(const PackedKey& key) {
    return const_cast<HybridSet*>(std::as_const(*this).set_of(key));
  }
  // remove_sorted() for the keys of `map`.
  template <class Map>
  void remove_sorted_in(Map& map, std::span<const std::pair<OrderKey, uint32_t>> entries);
  // add_range() over `map`, counting the keys visited in `visited`.
  template <class Map>
  static bool add_range_in(const Map& map, const KeyBound<PackedKey>* lower,
                           const KeyBound<PackedKey>* upper, SetUnion& ids, size_t& visited,
                           size_t max_keys);

  // A logged move; `from` and `to` as order keys.
  struct Move {
    OrderKey from;
    OrderKey to;
    uint32_t id;
  };
  // The net effect of the log on one id: its key before the first logged
  // move and after the last.
  struct NetMove {
    uint32_t id;
    OrderKey from;
    OrderKey to;
  };
  // One NetMove per id the log moves, in no particular order.
  std::vector<NetMove> net_moves() const;
  // The same taken from the log as it is, when it moves no id twice and
  // its ids are few enough to check that with a bit each; nullopt otherwise.
  std::optional<std::vector<NetMove>> moves_of_distinct_ids() const;
  void apply_logged_moves();
  // Adds to `out` the ids of `settled` (the answer of the sets alone) with
  // the log applied: the ids it moves leave, and come back when their
  // latest key satisfies wanted(key).
  template <class Wanted>
  void add_with_moves(Bitmap settled, Wanted&& wanted, Bitmap& out) const;
  void require_no_pending_moves() const {
    if (!moves_.empty()) throw InternalError("number sets read with moves pending");
  }
  // find() without the check of the log.
  const HybridSet* find_settled(const OrderKey& key) const;
  bool add_range_settled(const KeyBound<OrderKey>* lower, const KeyBound<OrderKey>* upper,
                         Bitmap& out, size_t max_keys) const;

  // Adds `id` under a key already in a map, which may have been empty.
  void add_to_entry(HybridSet& ids, uint32_t id);
  void emptied();
  bool sweep_due() const { return vantorel::sweep_due(empty_keys_, narrow_.size() + wide_.size()); }
  // Takes every empty key out, in one pass over each map that refills its
  // chunks.
  void sweep();

  Narrow narrow_;
  Wide wide_;
  size_t empty_keys_ = 0;                                // keys whose set is empty
  std::vector<std::pair<PackedKey, uint32_t>> waiting_;  // see add_deferred()
  std::vector<Move> moves_;                              // see defer_move()
  // About how many ids the sets hold (adds less removes), which bounds the log.
  size_t ids_ = 0;
};

template <class Visit>
void NumberSets::walk_keys(bool descending, Visit&& visit) const {
  require_no_pending_moves();
  auto held = [&](const PackedKey& key, const HybridSet& ids) {
    return ids.empty() || visit(key.unpacked(), ids);
  };
  if (wide_.empty()) {
    narrow_.walk_chunks(descending, [&](auto highs, auto sets) {
      for (size_t k = 0; k < highs.size(); ++k) {
        const size_t i = descending ? highs.size() - 1 - k : k;
        if (!held(packed(highs[i]), sets[i])) return false;
      }
      return true;
    });
    return;
  }
  Cursor<Narrow> narrow(narrow_, descending);
  Cursor<Wide> wide(wide_, descending);
  while (!narrow.done() || !wide.done()) {
    bool take_narrow = wide.done();
    if (!narrow.done() && !wide.done()) {
      const PackedKey narrow_key = packed(narrow.entry().key());
      const PackedKey& wide_key = wide.entry().key();
      take_narrow = descending ? wide_key < narrow_key : narrow_key < wide_key;
    }
    if (take_narrow) {
      const auto entry = narrow.entry();
      if (!held(packed(entry.key()), entry.value())) return;
      narrow.advance();
    } else {
      const auto entry = wide.entry();
      if (!held(entry.key(), entry.value())) return;
      wide.advance();
    }
  }
}

}  // namespace vantorel
