#include "native/structures/value_sets/value_sets.h"

#include <type_traits>

#include "native/common/prefetch.h"

namespace vantorel {

namespace {

// Calls fn(map) with the map that holds `key`.
template <class Narrow, class Wide, class Fn>
decltype(auto) with_map_of(const PackedKey& key, Narrow& narrow, Wide& wide, Fn&& fn) {
  return key.is_narrow() ? fn(narrow) : fn(wide);
}

bool holds_ids(const HybridSet& ids) {
  return !ids.empty();
}

}  // namespace

template <class Map>
void NumberSets::add_in(Map& map, const PackedKey& key, uint32_t id) {
  auto found = map.find(key_in(map, key));
  if (found == map.end()) {
    map.emplace(key_in(map, key), HybridSet::single(id));
  } else {
    add_to_entry(found.value(), id);
  }
}

void NumberSets::add(const OrderKey& key, uint32_t id) {
  const PackedKey packed(key);
  with_map_of(packed, narrow_, wide_, [&](auto& map) { add_in(map, packed, id); });
}

template <class Map>
void NumberSets::add_deferred_in(Map& map, const PackedKey& key, uint32_t id) {
  auto found = map.find(key_in(map, key));
  if (found == map.end()) {
    waiting_.emplace_back(key, id);
  } else {
    add_to_entry(found.value(), id);
  }
}

void NumberSets::add_deferred(const OrderKey& key, uint32_t id) {
  const PackedKey packed(key);
  with_map_of(packed, narrow_, wide_, [&](auto& map) { add_deferred_in(map, packed, id); });
}

void NumberSets::settle() {
  if (waiting_.empty()) return;
  std::sort(waiting_.begin(), waiting_.end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (a.first == b.first && a.second < b.second);
  });
  std::vector<std::pair<uint64_t, HybridSet>> narrow;
  std::vector<std::pair<PackedKey, HybridSet>> wide;
  std::vector<uint32_t> run;
  for (size_t at = 0; at < waiting_.size();) {
    const PackedKey& key = waiting_[at].first;
    run.clear();
    for (; at < waiting_.size() && waiting_[at].first == key; ++at) {
      if (run.empty() || run.back() != waiting_[at].second) run.push_back(waiting_[at].second);
    }
    if (key.is_narrow()) {
      narrow.emplace_back(key.high(), HybridSet::of(run));
    } else {
      wide.emplace_back(key, HybridSet::of(run));
    }
  }
  waiting_.clear();
  waiting_.shrink_to_fit();
  if (!narrow.empty()) narrow_.insert_sorted(std::move(narrow));
  if (!wide.empty()) wide_.insert_sorted(std::move(wide));
}

template <class Map>
void NumberSets::remove_in(Map& map, const PackedKey& key, uint32_t id) {
  auto found = map.find(key_in(map, key));
  if (found == map.end() || found.value().empty()) return;
  found.value().remove(id);
  if (found.value().empty()) emptied();
}

void NumberSets::remove(const OrderKey& key, uint32_t id) {
  const PackedKey packed(key);
  with_map_of(packed, narrow_, wide_, [&](auto& map) { remove_in(map, packed, id); });
}

template <class Map>
void NumberSets::remove_sorted_in(Map& map,
                                  std::span<const std::pair<OrderKey, uint32_t>> entries) {
  using Run = std::span<const std::pair<OrderKey, uint32_t>>;
  using Key = typename Map::key_type;
  constexpr size_t kGroup = Map::kLockstep;
  constexpr bool kNarrow = std::is_same_v<Map, Narrow>;
  std::array<std::pair<HybridSet*, Run>, kGroup> runs;
  std::array<Key, kGroup> keys;
  size_t grouped = 0;
  RunRemovalScratch scratch;
  auto flush = [&] {
    map.lower_bounds(std::span<const Key>(keys.data(), grouped),
                     [&](size_t i, typename Map::iterator bound) {
                       const bool found = bound != map.end() && bound.key() == keys[i];
                       runs[i].first = found ? &bound.value() : nullptr;
                       // The sets lie apart from the keys the search read:
                       // ask for all of the group's at once.
                       if (found) prefetch_line(runs[i].first);
                     });
    empty_keys_ +=
        remove_runs(std::span<const std::pair<HybridSet*, Run>>(runs.data(), grouped), scratch);
    grouped = 0;
  };
  for_each_key_run(entries, [&](Run run) {
    const PackedKey key(run.front().first);
    if (key.is_narrow() != kNarrow) return;
    runs[grouped].second = run;
    keys[grouped] = key_in(map, key);
    if (++grouped == kGroup) flush();
  });
  flush();
}

void NumberSets::remove_sorted(std::span<const std::pair<OrderKey, uint32_t>> entries) {
  if (!narrow_.empty()) remove_sorted_in(narrow_, entries);
  if (!wide_.empty()) remove_sorted_in(wide_, entries);
  if (sweep_due()) sweep();
}

template <class Map>
const HybridSet* NumberSets::find_in(const Map& map, const PackedKey& key) {
  auto found = map.find(key_in(map, key));
  return found == map.end() || found.value().empty() ? nullptr : &found.value();
}

const HybridSet* NumberSets::find(const OrderKey& key) const {
  const PackedKey packed(key);
  return with_map_of(packed, narrow_, wide_, [&](const auto& map) { return find_in(map, packed); });
}

void NumberSets::add_matching(const OrderKey& key, Bitmap& out) const {
  if (const HybridSet* ids = find(key)) ids->add_to(out);
}

template <class Map>
bool NumberSets::add_range_in(const Map& map, const KeyBound<PackedKey>* lower,
                              const KeyBound<PackedKey>* upper, SetUnion& ids, size_t& visited,
                              size_t max_keys) {
  using Key = typename Map::key_type;
  auto it =
      lower == nullptr ? map.begin() : map.partition_point([&](const Key& key, const HybridSet&) {
        return lower->inclusive ? packed(key) < lower->key : !(lower->key < packed(key));
      });
  auto end =
      upper == nullptr ? map.end() : map.partition_point([&](const Key& key, const HybridSet&) {
        return upper->inclusive ? !(upper->key < packed(key)) : packed(key) < upper->key;
      });
  for (; it != end; ++it) {
    if (it.value().empty()) continue;
    if (++visited > max_keys) return false;
    ids.add(it.value());
  }
  return true;
}

bool NumberSets::add_range(const KeyBound<OrderKey>* lower, const KeyBound<OrderKey>* upper,
                           Bitmap& out, size_t max_keys) const {
  if (lower != nullptr && upper != nullptr) {
    if (upper->key < lower->key) return true;
    if (upper->key == lower->key && !(lower->inclusive && upper->inclusive)) return true;
  }
  const KeyBound<PackedKey> low{lower != nullptr ? lower->key : OrderKey{},
                                lower != nullptr && lower->inclusive};
  const KeyBound<PackedKey> high{upper != nullptr ? upper->key : OrderKey{},
                                 upper != nullptr && upper->inclusive};
  const KeyBound<PackedKey>* low_bound = lower != nullptr ? &low : nullptr;
  const KeyBound<PackedKey>* high_bound = upper != nullptr ? &high : nullptr;
  SetUnion ids(out);
  size_t visited = 0;
  const bool complete = add_range_in(narrow_, low_bound, high_bound, ids, visited, max_keys) &&
                        add_range_in(wide_, low_bound, high_bound, ids, visited, max_keys);
  ids.finish();
  return complete;
}

bool NumberSets::has_key_below(const OrderKey& key) const {
  const PackedKey bound(key);
  auto below = [&](const auto& map) {
    using Key = typename std::decay_t<decltype(map)>::key_type;
    return map.partition_point([&](const Key& k, const HybridSet&) { return packed(k) < bound; }) !=
           map.begin();
  };
  return below(narrow_) || below(wide_);
}

bool NumberSets::has_key_above(const OrderKey& key) const {
  const PackedKey bound(key);
  auto above = [&](const auto& map) {
    using Key = typename std::decay_t<decltype(map)>::key_type;
    return map.partition_point(
               [&](const Key& k, const HybridSet&) { return !(bound < packed(k)); }) != map.end();
  };
  return above(narrow_) || above(wide_);
}

void NumberSets::remove_all(const Bitmap& drop) {
  for (auto it = narrow_.begin(); it != narrow_.end(); ++it) it.value().remove_in(drop);
  for (auto it = wide_.begin(); it != wide_.end(); ++it) it.value().remove_in(drop);
  sweep();
}

size_t NumberSets::memory_bytes() const {
  size_t total =
      narrow_.memory_bytes() + wide_.memory_bytes() + waiting_.capacity() * sizeof(waiting_[0]);
  for (auto it = narrow_.begin(); it != narrow_.end(); ++it) total += it.value().memory_bytes();
  for (auto it = wide_.begin(); it != wide_.end(); ++it) total += it.value().memory_bytes();
  return total;
}

void NumberSets::add_to_entry(HybridSet& ids, uint32_t id) {
  if (ids.empty()) --empty_keys_;
  ids.add(id);
}

void NumberSets::emptied() {
  ++empty_keys_;
  if (sweep_due()) sweep();
}

void NumberSets::sweep() {
  narrow_.retain_if([](uint64_t, const HybridSet& ids) { return holds_ids(ids); });
  wide_.retain_if([](const PackedKey&, const HybridSet& ids) { return holds_ids(ids); });
  empty_keys_ = 0;
}

}  // namespace vantorel
