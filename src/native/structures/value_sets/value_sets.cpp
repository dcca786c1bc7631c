#include "native/structures/value_sets/value_sets.h"

#include <array>
#include <type_traits>

#include "native/common/fx_hash.h"
#include "native/common/prefetch.h"

namespace vantorel {

namespace {

// Calls fn(map) with the map that holds `key`.
template <class Narrow, class Wide, class Fn>
decltype(auto) with_map_of(const PackedKey& key, Narrow& narrow, Wide& wide, Fn&& fn) {
  return key.is_narrow() ? fn(narrow) : fn(wide);
}

}  // namespace

const HybridSet* NumberSets::set_of(const PackedKey& key) const {
  return with_map_of(key, narrow_, wide_, [&](const auto& map) -> const HybridSet* {
    auto found = map.find(key_in(map, key));
    return found == map.end() ? nullptr : &found.value();
  });
}

void NumberSets::add(const OrderKey& key, uint32_t id) {
  apply_moves();
  ++ids_;
  const PackedKey packed(key);
  if (HybridSet* ids = set_of(packed)) {
    add_to_entry(*ids, id);
  } else {
    with_map_of(packed, narrow_, wide_,
                [&](auto& map) { map.emplace(key_in(map, packed), HybridSet::single(id)); });
  }
}

void NumberSets::add_deferred(const OrderKey& key, uint32_t id) {
  apply_moves();
  ++ids_;
  const PackedKey packed(key);
  if (HybridSet* ids = set_of(packed)) {
    add_to_entry(*ids, id);
  } else {
    waiting_.emplace_back(packed, id);
  }
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

void NumberSets::remove(const OrderKey& key, uint32_t id) {
  apply_moves();
  ids_ -= std::min<size_t>(ids_, 1);
  HybridSet* ids = set_of(key);
  if (ids == nullptr || ids->empty()) return;
  ids->remove(id);
  if (ids->empty()) emptied();
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
  std::vector<uint32_t> scratch;
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
  apply_moves();
  ids_ -= std::min(ids_, entries.size());
  if (!narrow_.empty()) remove_sorted_in(narrow_, entries);
  if (!wide_.empty()) remove_sorted_in(wide_, entries);
  if (sweep_due()) sweep();
}

const HybridSet* NumberSets::find(const OrderKey& key) const {
  require_no_pending_moves();
  return find_settled(key);
}

const HybridSet* NumberSets::find_settled(const OrderKey& key) const {
  const HybridSet* ids = set_of(key);
  return ids == nullptr || ids->empty() ? nullptr : ids;
}

void NumberSets::add_matching(const OrderKey& key, Bitmap& out) const {
  const HybridSet* ids = find_settled(key);
  if (moves_.empty()) {
    if (ids != nullptr) ids->add_to(out);
    return;
  }
  add_with_moves(
      ids != nullptr ? ids->to_bitmap() : Bitmap(),
      [&](const OrderKey& moved_to) { return moved_to == key; }, out);
}

template <class Map>
bool NumberSets::add_range_in(const Map& map, const KeyBound<PackedKey>* lower,
                              const KeyBound<PackedKey>* upper, SetUnion& ids, size_t& visited,
                              size_t max_keys) {
  auto it =
      lower == nullptr ? map.begin() : map.partition_point([&](const auto& key, const HybridSet&) {
        return lower->inclusive ? packed(key) < lower->key : !(lower->key < packed(key));
      });
  auto end =
      upper == nullptr ? map.end() : map.partition_point([&](const auto& key, const HybridSet&) {
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
  if (moves_.empty()) return add_range_settled(lower, upper, out, max_keys);
  Bitmap settled;
  if (!add_range_settled(lower, upper, settled, max_keys)) return false;
  add_with_moves(
      std::move(settled),
      [&](const OrderKey& key) {
        const bool above_lower =
            lower == nullptr || (lower->inclusive ? !(key < lower->key) : lower->key < key);
        const bool below_upper =
            upper == nullptr || (upper->inclusive ? !(upper->key < key) : key < upper->key);
        return above_lower && below_upper;
      },
      out);
  return true;
}

bool NumberSets::add_range_settled(const KeyBound<OrderKey>* lower, const KeyBound<OrderKey>* upper,
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
  if (!moves_.empty()) return true;
  const PackedKey bound(key);
  auto below = [&](const auto& map) {
    return map.partition_point(
               [&](const auto& k, const HybridSet&) { return packed(k) < bound; }) != map.begin();
  };
  return below(narrow_) || below(wide_);
}

bool NumberSets::has_key_above(const OrderKey& key) const {
  if (!moves_.empty()) return true;
  const PackedKey bound(key);
  auto above = [&](const auto& map) {
    return map.partition_point(
               [&](const auto& k, const HybridSet&) { return !(bound < packed(k)); }) != map.end();
  };
  return above(narrow_) || above(wide_);
}

void NumberSets::remove_all(const Bitmap& drop) {
  apply_moves();
  ids_ = 0;
  auto drop_from = [&](auto& map) {
    for (auto it = map.begin(); it != map.end(); ++it) {
      it.value().remove_in(drop);
      ids_ += it.value().size();
    }
  };
  drop_from(narrow_);
  drop_from(wide_);
  sweep();
}

// ---- the log of moves --------------------------------------------------------

void NumberSets::defer_move(const OrderKey& from, const OrderKey& to, uint32_t id) {
  moves_.push_back(Move{from, to, id});
  if (moves_.size() >= std::max(kMinMoveLog, ids_ / 4)) apply_logged_moves();
}

std::vector<NumberSets::NetMove> NumberSets::net_moves() const {
  if (std::optional<std::vector<NetMove>> distinct = moves_of_distinct_ids()) {
    return std::move(*distinct);
  }
  // Ids with their place in the log, sorted: the runs of one id, in log order.
  std::vector<uint64_t> order(moves_.size());
  for (size_t i = 0; i < moves_.size(); ++i) order[i] = uint64_t{moves_[i].id} << 32 | i;
  std::sort(order.begin(), order.end());
  std::vector<NetMove> net;
  net.reserve(order.size());
  for (size_t at = 0; at < order.size();) {
    const uint32_t id = static_cast<uint32_t>(order[at] >> 32);
    size_t last = at;
    while (last + 1 < order.size() && static_cast<uint32_t>(order[last + 1] >> 32) == id) ++last;
    net.push_back(NetMove{id, moves_[static_cast<uint32_t>(order[at])].from,
                          moves_[static_cast<uint32_t>(order[last])].to});
    at = last + 1;
  }
  return net;
}

namespace {

// The ids of a batch of moves grouped by key: each distinct key gets a group,
// and a group's ids keep the order they were entered in. Keys are found
// through an open-addressing table, so that grouping costs a hash per id
// rather than a sort of the batch.
class IdsByKey {
 public:
  IdsByKey() : slots_(kFirstSlots, 0) {}

  // Counts one id for `key`; returns its group.
  uint32_t count(const OrderKey& key) {
    const uint64_t mask = slots_.size() - 1;
    for (uint64_t at = hash(key) & mask;; at = (at + 1) & mask) {
      if (slots_[at] == 0) {
        keys_.push_back(key);
        sizes_.push_back(1);
        slots_[at] = static_cast<uint32_t>(keys_.size());
        if (keys_.size() * 2 > slots_.size()) grow();
        return static_cast<uint32_t>(keys_.size() - 1);
      }
      const uint32_t group = slots_[at] - 1;
      if (keys_[group] == key) {
        ++sizes_[group];
        return group;
      }
    }
  }
  // Once every id is counted: places `id` in `group`, after the ids placed
  // there before.
  void place(uint32_t group, uint32_t id) {
    if (ids_.empty()) start_placing();
    ids_[next_[group]++] = id;
  }

  size_t groups() const { return keys_.size(); }
  const OrderKey& key(size_t group) const { return keys_[group]; }
  // The ids of `group`, once all are placed, in ascending order.
  std::span<const uint32_t> ids(size_t group) {
    const std::span<uint32_t> placed =
        std::span<uint32_t>(ids_).subspan(next_[group] - sizes_[group], sizes_[group]);
    if (!std::is_sorted(placed.begin(), placed.end())) std::sort(placed.begin(), placed.end());
    return placed;
  }

 private:
  static constexpr size_t kFirstSlots = 64;

  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    const uint64_t mask = slots_.size() - 1;
    for (size_t group = 0; group < keys_.size(); ++group) {
      uint64_t at = hash(keys_[group]) & mask;
      while (slots_[at] != 0) at = (at + 1) & mask;
      slots_[at] = static_cast<uint32_t>(group + 1);
    }
  }

  void start_placing() {
    size_t total = 0;
    next_.resize(sizes_.size());
    for (size_t group = 0; group < sizes_.size(); ++group) {
      next_[group] = static_cast<uint32_t>(total);
      total += sizes_[group];
    }
    ids_.resize(total);
  }

  // The keys of numbers differ mostly in their high bits, which a product
  // carries only upwards: the key goes in by halves.
  static uint64_t hash(const OrderKey& key) {
    FxHasher hasher;
    hasher.fold(key.tail >> 32);
    hasher.fold((key.tail & 0xffffffff) ^ (uint64_t{key.head} << 32));
    return hasher.finish();
  }

  std::vector<uint32_t> slots_;  // group + 1, or 0 for a free slot
  std::vector<OrderKey> keys_;
  std::vector<uint32_t> sizes_;
  std::vector<uint32_t> next_;  // where the next id of each group goes
  std::vector<uint32_t> ids_;
};

}  // namespace

std::optional<std::vector<NumberSets::NetMove>> NumberSets::moves_of_distinct_ids() const {
  // A bit per id up to the largest, when that costs little beside the log.
  uint32_t largest = 0;
  for (const Move& move : moves_) largest = std::max(largest, move.id);
  const size_t words = size_t{largest} / 64 + 1;
  if (words > moves_.size() * 4) return std::nullopt;
  std::vector<uint64_t> seen(words, 0);
  std::vector<NetMove> net;
  net.reserve(moves_.size());
  for (const Move& move : moves_) {
    uint64_t& word = seen[move.id / 64];
    const uint64_t bit = uint64_t{1} << (move.id % 64);
    if ((word & bit) != 0) return std::nullopt;
    word |= bit;
    net.push_back(NetMove{move.id, move.from, move.to});
  }
  return net;
}

void NumberSets::apply_logged_moves() {
  std::vector<NetMove> net = net_moves();
  moves_.clear();
  std::erase_if(net, [](const NetMove& move) { return move.from == move.to; });
  // Each id moves once now, so its removal and its addition commute with
  // every other id's.
  IdsByKey removals;
  IdsByKey additions;
  std::vector<std::pair<uint32_t, uint32_t>> groups(net.size());
  for (size_t i = 0; i < net.size(); ++i) {
    groups[i] = {removals.count(net[i].from), additions.count(net[i].to)};
  }
  for (size_t i = 0; i < net.size(); ++i) {
    removals.place(groups[i].first, net[i].id);
    additions.place(groups[i].second, net[i].id);
  }
  for (size_t group = 0; group < removals.groups(); ++group) {
    HybridSet* ids = set_of(removals.key(group));
    if (ids == nullptr || ids->empty()) continue;
    ids->remove_many(removals.ids(group));
    if (ids->empty()) emptied();
  }
  for (size_t group = 0; group < additions.groups(); ++group) {
    const PackedKey key(additions.key(group));
    HybridSet* ids = set_of(key);
    if (ids == nullptr) {
      for (uint32_t id : additions.ids(group)) waiting_.emplace_back(key, id);
      continue;
    }
    if (ids->empty()) --empty_keys_;
    ids->add_many(additions.ids(group));
  }
  settle();
}

template <class Wanted>
void NumberSets::add_with_moves(Bitmap settled, Wanted&& wanted, Bitmap& out) const {
  const std::vector<NetMove> net = net_moves();
  std::vector<uint32_t> moved;
  std::vector<uint32_t> arrived;
  moved.reserve(net.size());
  for (const NetMove& move : net) {
    moved.push_back(move.id);
    if (wanted(move.to)) arrived.push_back(move.id);
  }
  settled -= Bitmap::of(moved.data(), moved.size());
  settled.add_many(arrived.data(), arrived.size());
  out |= settled;
}

size_t NumberSets::memory_bytes() const {
  size_t total = narrow_.memory_bytes() + wide_.memory_bytes() +
                 waiting_.capacity() * sizeof(waiting_[0]) + moves_.capacity() * sizeof(Move);
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
  narrow_.retain_if([](uint64_t, const HybridSet& ids) { return !ids.empty(); });
  wide_.retain_if([](const PackedKey&, const HybridSet& ids) { return !ids.empty(); });
  empty_keys_ = 0;
}

}  // namespace vantorel
