// ValueSets: the ids held under each distinct key of one attribute.
//
// Equality is one lookup, whatever the number of distinct keys. Over an
// ordered map (numbers use one, NumberSets), a range is a walk over the keys between its bounds:
// when few distinct keys fall in the range this beats a walk over bit slices, so the walk stops
// after a caller-chosen number of keys and reports that it gave up, leaving the caller to answer
// another way.
//
// A key whose last id leaves stays in the map with an empty set, so that a
// removal costs one lookup and no shift of its neighbours. Lookups and walks
// pass over such keys, and once they are a quarter of the map one sweep
// takes them all out. No lock of its own: the owner's lock guards it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "native/structures/chunked_map/chunked_map.h"
#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/ordered_bitmap/order_key.h"
#include "native/structures/roaring/bitmap.h"

namespace vantorel {

// One end of a range over ordered keys.
template <class Key>
struct KeyBound {
  Key key;
  bool inclusive;
};

// Calls visit(key, value) for the entries of an ordered map, ascending or
// descending, until it returns false. Shared by the value sets of numbers and
// of strings.
template <class Map, class Visit>
void walk_map(const Map& map, bool descending, Visit& visit) {
  if (!descending) {
    for (const auto& [key, value] : map) {
      if (!visit(key, value)) return;
    }
    return;
  }
  for (auto it = map.end(); it != map.begin();) {
    --it;
    if (!visit(it->first, it->second)) return;
  }
}

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

// Working space for remove_runs(), kept across its calls.
struct RunRemovalScratch {
  std::vector<uint32_t> ids;
};

// Removes the ids of each run's pairs from the run's set (null: the key is
// absent). Returns how many of the sets this left empty; a set empty
// already is left alone.
template <class Pair>
size_t remove_runs(std::span<const std::pair<HybridSet*, std::span<const Pair>>> runs,
                   RunRemovalScratch& scratch) {
  size_t emptied = 0;
  for (const auto& [set, run] : runs) {
    if (set == nullptr || set->empty()) continue;
    scratch.ids.clear();
    for (const Pair& entry : run) scratch.ids.push_back(entry.second);
    std::sort(scratch.ids.begin(), scratch.ids.end());
    set->remove_many(scratch.ids);
    emptied += set->empty() ? 1 : 0;
  }
  return emptied;
}

template <class Map>
class ValueSets {
 public:
  using Key = typename Map::key_type;

  // Enters `id` under `key`.
  template <class K>
  void add(const K& key, uint32_t id) {
    auto found = map_.find(key);
    if (found == map_.end()) {
      map_.emplace(Key(key), HybridSet::single(id));
    } else {
      add_to_entry(found->second, id);
    }
  }

  // add() for a writer that enters many ids at once: an id under a key that
  // is present goes in now, one under a new key waits for settle(), which
  // enters all the new keys in one sorted merge. Until then lookups and walks
  // do not see the waiting keys.
  template <class K>
  void add_deferred(const K& key, uint32_t id) {
    auto found = map_.find(key);
    if (found == map_.end()) {
      waiting_.emplace_back(Key(key), id);
    } else {
      add_to_entry(found->second, id);
    }
  }

  // Enters the ids that add_deferred() kept waiting.
  void settle() {
    if (waiting_.empty()) return;
    std::sort(waiting_.begin(), waiting_.end());
    std::vector<typename Map::value_type> entries;
    for (const auto& [key, id] : waiting_) {
      if (!entries.empty() && !(entries.back().first < key)) {
        entries.back().second.add(id);
      } else {
        entries.emplace_back(key, HybridSet::single(id));
      }
    }
    waiting_.clear();
    waiting_.shrink_to_fit();
    map_.insert_sorted(std::move(entries));
  }

  // Removes `id` from under `key`; an id not stored there is ignored.
  template <class K>
  void remove(const K& key, uint32_t id) {
    auto found = map_.find(key);
    if (found == map_.end() || found->second.empty()) return;
    found->second.remove(id);
    if (found->second.empty()) emptied();
  }

  // remove() for many (key, id) pairs sorted by key: one lookup per key,
  // the lookups of a group of keys done together (see
  // ChunkedMap::lower_bounds()).
  void remove_sorted(std::span<const std::pair<Key, uint32_t>> entries) {
    using Run = std::span<const std::pair<Key, uint32_t>>;
    constexpr size_t kGroup = Map::kLockstep;
    std::array<std::pair<HybridSet*, Run>, kGroup> runs;
    std::array<Key, kGroup> keys;
    size_t grouped = 0;
    RunRemovalScratch scratch;
    auto flush = [&] {
      map_.lower_bounds(std::span<const Key>(keys.data(), grouped), [&](size_t i, auto bound) {
        const bool found = bound != map_.end() && !(keys[i] < bound->first);
        runs[i].first = found ? &bound->second : nullptr;
      });
      empty_keys_ +=
          remove_runs(std::span<const std::pair<HybridSet*, Run>>(runs.data(), grouped), scratch);
      grouped = 0;
    };
    for_each_key_run(entries, [&](Run run) {
      runs[grouped].second = run;
      keys[grouped] = run.front().first;
      if (++grouped == kGroup) flush();
    });
    flush();
    if (sweep_due()) sweep();
  }

  // The ids stored under `key`, or null when it holds none.
  template <class K>
  const HybridSet* find(const K& key) const {
    auto found = map_.find(key);
    return found == map_.end() || found->second.empty() ? nullptr : &found->second;
  }

  // Adds to `out` the ids stored under `key`.
  template <class K>
  void add_matching(const K& key, Bitmap& out) const {
    auto found = map_.find(key);
    if (found != map_.end()) found->second.add_to(out);
  }

  // Adds to `out` the ids of every key between the bounds (a missing bound
  // is open). Gives up, returning false, once more than `max_keys` keys
  // would be visited; `out` then holds a partial answer.
  bool add_range(const KeyBound<Key>* lower, const KeyBound<Key>* upper, Bitmap& out,
                 size_t max_keys) const {
    if (lower != nullptr && upper != nullptr) {
      if (upper->key < lower->key) return true;
      if (upper->key == lower->key && !(lower->inclusive && upper->inclusive)) return true;
    }
    auto it = lower == nullptr   ? map_.begin()
              : lower->inclusive ? map_.lower_bound(lower->key)
                                 : map_.upper_bound(lower->key);
    auto end = upper == nullptr   ? map_.end()
               : upper->inclusive ? map_.upper_bound(upper->key)
                                  : map_.lower_bound(upper->key);
    SetUnion ids(out);
    for (size_t visited = 0; it != end; ++it) {
      if (it->second.empty()) continue;
      if (++visited > max_keys) {
        ids.finish();
        return false;
      }
      ids.add(it->second);
    }
    ids.finish();
    return true;
  }

  // Whether the map has a key below (above) `key`. A key that removals left
  // empty counts until the sweep takes it out.
  bool has_key_below(const Key& key) const { return map_.lower_bound(key) != map_.begin(); }
  bool has_key_above(const Key& key) const { return map_.upper_bound(key) != map_.end(); }

  // Calls visit(key, ids) for every key in ascending order, or descending
  // with `descending`, until it returns false.
  template <class Visit>
  void walk_keys(bool descending, Visit&& visit) const {
    auto held = [&](const Key& key, const HybridSet& ids) {
      return ids.empty() || visit(key, ids);
    };
    walk_map(map_, descending, held);
  }

  // Removes every id of `drop`, and every key left empty.
  void remove_all(const Bitmap& drop) {
    for (auto it = map_.begin(); it != map_.end();) {
      if (drop_from(it->second, drop)) {
        it = map_.erase(it);
      } else {
        ++it;
      }
    }
    empty_keys_ = 0;
  }

  // The keys that hold at least one id.
  size_t key_count() const { return map_.size() - empty_keys_; }

  // Approximate heap bytes: map nodes, and what large sets hold.
  size_t memory_bytes() const {
    size_t total = map_.size() * (sizeof(typename Map::value_type) + 4 * sizeof(void*));
    for (const auto& entry : map_) {
      if (entry.second.kind() == HybridSet::Kind::Large) total += entry.second.size() / 4;
    }
    return total;
  }

 private:
  // Adds `id` under a key already in the map, which may have been empty.
  void add_to_entry(HybridSet& ids, uint32_t id) {
    if (ids.empty()) --empty_keys_;
    ids.add(id);
  }

  void emptied() {
    ++empty_keys_;
    if (sweep_due()) sweep();
  }

  bool sweep_due() const { return vantorel::sweep_due(empty_keys_, map_.size()); }

  // Takes every empty key out, in one pass that refills the chunks.
  void sweep() {
    std::vector<typename Map::value_type> kept;
    kept.reserve(map_.size() - empty_keys_);
    for (auto& entry : map_) {
      if (!entry.second.empty()) kept.push_back(std::move(entry));
    }
    map_ = Map();
    map_.insert_sorted(std::move(kept));
    empty_keys_ = 0;
  }

  // Removes the ids of `drop` from `ids`; returns whether none is left.
  static bool drop_from(HybridSet& ids, const Bitmap& drop) {
    if (ids.empty()) return true;
    if (ids.size() == 1) {
      bool dropped = false;
      ids.for_each([&](uint32_t id) { dropped = drop.contains(id); });
      return dropped;
    }
    Bitmap held = ids.to_bitmap();
    if (!held.intersects(drop)) return false;
    ids.retain_in(held - drop);
    return ids.empty();
  }

  Map map_;
  size_t empty_keys_ = 0;                          // keys whose set is empty
  std::vector<std::pair<Key, uint32_t>> waiting_;  // see add_deferred()
};

using NumberSets = ValueSets<ChunkedMap<OrderKey, HybridSet>>;

}  // namespace vantorel
