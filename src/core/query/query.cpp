#include "core/query/query.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/index.h"
#include "core/query/compare.h"
#include "native/structures/id_alloc/id_alloc.h"

namespace vantorel {

namespace {

// Masked ids can only chain as deep as containers nest, so a longer chain
// means a corrupted table; stop rather than loop.
constexpr int kMaxChain = 1 << 16;

}  // namespace

ElementTable::~ElementTable() {
  free_ids(masked_ids.to_vector());
}

uint32_t ElementTable::root_of(uint32_t id) const {
  for (int step = 0; step < kMaxChain; ++step) {
    std::optional<uint32_t> owner = mapped_ids.find(id);
    if (!owner) return id;
    // Most elements belong to an object: no need to look their owner up.
    if (nested_ids.empty() || !nested_ids.contains(id)) return *owner;
    id = *owner;
  }
  throw InternalError("element owner chain does not end");
}

bool holds_indexable(const PyValue& value) {
  if (value.kind() == ValueKind::Ind) return true;
  return value.kind() == ValueKind::Iterable && value.as_iterable().holds_indexable;
}

QueryMap::QueryMap(std::weak_ptr<IndexAPI> parent, uint64_t core, uint32_t attribute)
    : str_radix_map(LockRank{LockLevel::kStrings, core, attribute}),
      num_ordered(LockRank{LockLevel::kNumbers, core, attribute}),
      bool_map(LockRank{LockLevel::kBooleans, core, attribute}),
      elements(LockRank{LockLevel::kElements, core, attribute}),
      exact(LockRank{LockLevel::kExactValues}),
      cyclic_links(LockRank{LockLevel::kCyclicLinks}),
      parent_(std::move(parent)) {}

// ---- insertion and removal -------------------------------------------------

void QueryMap::insert(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      auto guard = num_ordered.write();
      if (!*guard) *guard = std::make_unique<NumberIndex>();
      const OrderKey key = key_of(value);
      (*guard)->values.add(key, id);
      if (NumericalBitmap* slices = (*guard)->slices.written()) slices->insert(key, id);
      return;
    }
    case ValueKind::Str: {
      auto guard = str_radix_map.write();
      if (!*guard) *guard = std::make_unique<StringIndex>();
      (*guard)->values.add(value.as_str(), id);
      if (PositionalBitmap* positions = (*guard)->positions.written()) {
        positions->insert(value.as_str(), id);
      }
      return;
    }
    case ValueKind::Bool: {
      auto guard = bool_map.write();
      if (!*guard) *guard = std::make_unique<BoolMap>();
      (**guard)[bool_slot(value.as_bool())].bitmap().add(id);
      return;
    }
    case ValueKind::Iterable:
      insert_iterable(value, id);
      return;
    case ValueKind::Ind:
      insert_exact(value, id);
      insert_indexable(value, id);
      return;
    case ValueKind::Unknown:
      insert_exact(value, id);
      return;
  }
}

void QueryMap::remove(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      auto guard = num_ordered.write();
      if (!*guard) return;
      const OrderKey key = key_of(value);
      // Queued like the moves of assignments: a removal touches all 76
      // slices, which a batch visits position by position.
      if (NumericalBitmap* slices = (*guard)->slices.written()) slices->defer_remove(key, id);
      (*guard)->values.remove(key, id);
      return;
    }
    case ValueKind::Str: {
      auto guard = str_radix_map.write();
      if (!*guard) return;
      if (PositionalBitmap* positions = (*guard)->positions.written()) {
        positions->remove(value.as_str(), id);
      }
      (*guard)->values.remove(value.as_str(), id);
      return;
    }
    case ValueKind::Bool: {
      auto guard = bool_map.write();
      if (*guard) (**guard)[bool_slot(value.as_bool())].bitmap().remove(id);
      return;
    }
    case ValueKind::Iterable:
      remove_iterable(id);
      return;
    case ValueKind::Ind:
      remove_exact(value, id);
      unlink_indexable(value, id);
      return;
    case ValueKind::Unknown:
      remove_exact(value, id);
      return;
  }
}

void QueryMap::remove_left_behind(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case ValueKind::Iterable:
      remove_iterable(id, value.as_iterable().elements.get());
      return;
    case ValueKind::Ind:
      unlink_indexable(value, id);
      return;
    default:
      remove(value, id);
      return;
  }
}

// A value moves within one sub-index under one write lock, so a concurrent
// query sees it before or after the move, never missing. The same object
// assigned again is only entered again (which changes nothing when it is
// already there): taking it out first would drop a nested object from the
// nested core for a moment.
void QueryMap::replace(const PyValue& old_value, const PyValue& new_value, uint32_t id) {
  const ValueKind kind = new_value.kind();
  if ((kind == ValueKind::Ind || kind == ValueKind::Unknown) && old_value == new_value) {
    insert(new_value, id);
    return;
  }
  if (old_value.kind() == ValueKind::Iterable && kind == ValueKind::Iterable) {
    insert_iterable(new_value, id);  // retires the old elements itself
    return;
  }
  if (old_value.is_number() && new_value.is_number()) {
    auto guard = num_ordered.write();
    if (*guard) {
      const OrderKey old_key = key_of(old_value);
      const OrderKey new_key = key_of(new_value);
      if (old_key == new_key) return;
      if (NumericalBitmap* slices = (*guard)->slices.written()) {
        slices->defer_replace(old_key, new_key, id);
      }
      (*guard)->values.defer_move(old_key, new_key, id);
      return;
    }
  }
  if (old_value.kind() == ValueKind::Str && kind == ValueKind::Str) {
    auto guard = str_radix_map.write();
    if (*guard) {
      if (PositionalBitmap* positions = (*guard)->positions.written()) {
        positions->remove(old_value.as_str(), id);
        positions->insert(new_value.as_str(), id);
      }
      (*guard)->values.remove(old_value.as_str(), id);
      (*guard)->values.add(new_value.as_str(), id);
      return;
    }
  }
  if (old_value.kind() == ValueKind::Bool && kind == ValueKind::Bool) {
    auto guard = bool_map.write();
    if (*guard) {
      (**guard)[bool_slot(old_value.as_bool())].bitmap().remove(id);
      (**guard)[bool_slot(new_value.as_bool())].bitmap().add(id);
      return;
    }
  }
  remove(old_value, id);
  insert(new_value, id);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  auto guard = exact.write();
  if (!*guard) *guard = std::make_unique<ExactMap>();
  auto found = (*guard)->find(value);
  if (found != (*guard)->end()) {
    found->second.add(id);
  } else {
    (*guard)->emplace(value, HybridSet::single(id));
  }
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  std::optional<std::pair<PyValue, HybridSet>> emptied;
  {
    auto guard = exact.write();
    if (!*guard) return;
    ExactMap& map = **guard;
    auto found = map.find(value);
    if (found == map.end() || found->second.kind() == HybridSet::Kind::Empty) return;
    found->second.remove(id);
    // A value no item holds any more leaves the map: its key would keep the
    // Python object alive and the map would grow with every value ever seen.
    if (found->second.empty()) {
      emptied.emplace(std::move(*found));
      map.erase(found);
    }
  }
  // `emptied` is released here, outside the lock.
}

std::vector<ElementEntry> QueryMap::hand_out_elements(ElementTable& table, uint32_t owner,
                                                      const PyIterable& iterable) {
  OwnedElements owned{iterable.elements, {}};
  const bool nested = table.masked_ids.contains(owner);
  for (size_t i = 0; i < iterable.elements->size(); ++i) {
    const uint32_t masked = allocate_id();
    table.mapped_ids.set(masked, owner);
    table.masked_ids.add(masked);
    if (nested) table.nested_ids.add(masked);
    owned.masked_ids.push_back(masked);
  }
  std::vector<ElementEntry> entries = owned.entries();
  table.by_owner.put(owner, std::move(owned));
  return entries;
}

void QueryMap::insert_iterable(const PyValue& value, uint32_t owner) {
  // An owner holds one value per attribute. The new elements go in before
  // the previous ones (if any) come out, so re-adding an object, or giving it
  // another list, never hides it from queries on elements it keeps.
  std::vector<ElementEntry> entries;
  std::vector<ElementEntry> previous;
  {
    auto guard = elements.write();
    if (!*guard) *guard = std::make_unique<ElementTable>();
    ElementTable& table = **guard;
    if (const OwnedElements* found = table.by_owner.find(owner)) previous = found->entries();
    entries = hand_out_elements(table, owner, value.as_iterable());
  }
  for (const ElementEntry& entry : entries) insert(entry.value, entry.masked_id);
  retire_elements(previous);
}

void QueryMap::remove_iterable(uint32_t owner, const std::vector<PyValue>* entered_with) {
  std::vector<ElementEntry> entries;
  {
    auto guard = elements.write();
    if (!*guard) return;
    ElementTable& table = **guard;
    const OwnedElements* found = table.by_owner.find(owner);
    if (found == nullptr) return;
    if (entered_with != nullptr && found->values.get() != entered_with) return;
    entries = found->entries();
    table.by_owner.take(owner);
  }
  retire_elements(entries);
}

void QueryMap::retire_elements(std::vector<ElementEntry>& entries) {
  if (entries.empty()) return;
  {
    auto guard = elements.write();
    ElementTable& table = **guard;
    // An entry that a concurrent narrowing took out already is its to free.
    std::erase_if(entries, [&](const ElementEntry& entry) {
      return !table.masked_ids.contains(entry.masked_id);
    });
    for (const ElementEntry& entry : entries) {
      table.mapped_ids.erase(entry.masked_id);
      table.masked_ids.remove(entry.masked_id);
      table.nested_ids.remove(entry.masked_id);
    }
  }
  // The entries are unmapped first, so a concurrent query drops them; the ids
  // go back to the allocator only once nothing refers to them.
  for (const ElementEntry& entry : entries) remove(entry.value, entry.masked_id);
  std::vector<uint32_t> freed;
  freed.reserve(entries.size());
  for (const ElementEntry& entry : entries) freed.push_back(entry.masked_id);
  free_ids(std::move(freed));
}

// ---- nested objects ---------------------------------------------------------

std::shared_ptr<IndexAPI> QueryMap::nested() const {
  std::lock_guard<std::mutex> lock(nested_mutex_);
  return nested_;
}

std::shared_ptr<IndexAPI> QueryMap::nested_or_create() {
  std::lock_guard<std::mutex> lock(nested_mutex_);
  if (!nested_) nested_ = IndexAPI::make(weak_from_this());
  return nested_;
}

bool QueryMap::holds_through_chain(uint32_t holder, uint32_t child) const {
  Bitmap ids{holder};
  const QueryMap* map = this;
  std::shared_ptr<QueryMap> keep_alive;
  while (true) {
    map->unmask_ids(ids);
    if (ids.contains(child)) return true;
    std::shared_ptr<IndexAPI> core = map->parent();
    if (!core) return false;
    keep_alive = core->owner();
    if (!keep_alive) return false;
    ids = core->get_parent_from_ids(ids);
    if (ids.empty()) return false;
    map = keep_alive.get();
  }
}

void QueryMap::insert_indexable(const PyValue& value, uint32_t holder) {
  const StoredIndexable& stored = value.as_indexable();
  const uint32_t child = stored.id();
  // An object that holds the new value, directly or further up, is not
  // nested beneath it again: that would recurse without end. The link is
  // kept aside for dotted queries to follow.
  if (holds_through_chain(holder, child)) {
    auto links = cyclic_links.write();
    links->insert_or_assign(holder, value);
    cyclic_link_count_.store(links->size(), std::memory_order_release);
    return;
  }
  std::shared_ptr<IndexAPI> core = nested_or_create();
  // The child's membership mutex decides, for every holder at once, whether
  // it is in the nested core.
  auto memberships = stored.owned_handle->indexes().lock();
  core->register_path(holder, child);
  if (!core->is_live(child)) {
    core->add_object_locked(StoredItem{value.shared_object(), stored.owned_handle}, *memberships);
  }
}

namespace {

// The objects whose membership mutex this thread holds (MembershipHeld).
thread_local std::vector<uint32_t> held_memberships;

struct DeferredLeave {
  std::shared_ptr<IndexAPI> core;
  std::shared_ptr<const IndexableRecord> child;
};

// The departures that found their object's mutex held by this thread.
thread_local std::vector<DeferredLeave> deferred_leaves;

bool held_by_this_thread(uint32_t id) {
  return std::find(held_memberships.begin(), held_memberships.end(), id) != held_memberships.end();
}

}  // namespace

QueryMap::MembershipHeld::MembershipHeld(uint32_t id) {
  held_memberships.push_back(id);
}

QueryMap::MembershipHeld::~MembershipHeld() {
  held_memberships.pop_back();
}

void QueryMap::leave_deferred() {
  while (!deferred_leaves.empty()) {
    DeferredLeave leave = std::move(deferred_leaves.back());
    deferred_leaves.pop_back();
    leave_if_unheld(*leave.core, *leave.child, std::nullopt);
  }
}

void QueryMap::unlink_indexable(const PyValue& value, uint32_t holder) {
  const StoredIndexable& stored = value.as_indexable();
  forget_cyclic_link(holder, stored.id());
  std::shared_ptr<IndexAPI> core = nested();
  if (!core) return;
  MembershipHeld held(holder);
  leave_if_unheld(*core, *stored.owned_handle, holder);
}

void QueryMap::leave_if_unheld(IndexAPI& core, const IndexableRecord& child,
                               std::optional<uint32_t> holder) {
  // A pair that was never recorded (the object was not nested because it
  // holds its holder, directly or further up) changes nothing. Returning
  // before locking matters: that object's membership mutex may be held by
  // this very thread, further up the chain.
  if (holder && !core.has_path(*holder, child.id)) return;
  if (held_by_this_thread(child.id)) {
    // This thread holds the child's mutex further up: the pair goes now,
    // and whether the child leaves is decided once that mutex is let go
    // (the rest of the write may have given it a holder again).
    if (!core.unregister_path(holder, child.id)) {
      deferred_leaves.push_back({core.shared_from_this(), child.native_copy()});
    }
    return;
  }
  auto memberships = child.indexes().lock();
  const bool still_held = core.unregister_path(holder, child.id);
  if (!still_held && core.is_live(child.id)) {
    MembershipHeld held(child.id);
    core.remove_object_locked(child, *memberships);
  }
}

void QueryMap::forget_cyclic_link(uint32_t holder, uint32_t child) {
  std::optional<PyValue> released;
  {
    auto links = cyclic_links.write();
    auto found = links->find(holder);
    if (found == links->end() || found->second.as_indexable().id() != child) return;
    released = std::move(found->second);
    links->erase(found);
    cyclic_link_count_.store(links->size(), std::memory_order_release);
  }
  // `released` drops its reference here, outside the lock.
}

// ---- operators --------------------------------------------------------------

void QueryMap::unmask_ids(Bitmap& ids, const ReadSnapshot* snapshot) const {
  auto guard = elements.read(snapshot);
  unmask_in(guard->get(), ids);
}

void QueryMap::unmask_in(const ElementTable* table, Bitmap& ids) {
  if (table == nullptr || ids.empty()) return;
  Bitmap masked = ids & table->masked_ids;
  if (masked.empty()) return;
  ids -= masked;
  std::vector<uint32_t> owners;
  owners.reserve(masked.cardinality());
  masked.for_each([&](uint32_t id) { owners.push_back(table->root_of(id)); });
  // Adding ascending ids appends to the bitmap's containers; any other order
  // shifts their contents on each insertion.
  if (!std::is_sorted(owners.begin(), owners.end())) std::sort(owners.begin(), owners.end());
  ids.add_many(owners.data(), owners.size());
}

Bitmap QueryMap::holders_of(IndexAPI& nested_core, const Bitmap& children,
                            const ReadSnapshot* snapshot) const {
  auto table = elements.read(snapshot);
  Bitmap holders = nested_core.get_parent_from_ids(children, snapshot);
  unmask_in(table->get(), holders);
  return holders;
}

// Every operator reads its sub-index and the element table under both read
// locks, taken in the writers' order (the sub-index, then the elements, then
// the exact-value map). Replacing an owner's elements hands out and indexes
// the new ones before it unmaps the old ones, so a reader that holds both
// locks sees at least one of the two generations mapped.
Bitmap QueryMap::eq(const PyValue& value, const ReadSnapshot* snapshot) const {
  Bitmap result;
  const QueryKey wanted = equality_key(value);
  switch (wanted.kind) {
    case QueryKey::Kind::Nothing:
      return result;
    case QueryKey::Kind::Number:
      read_numbers(
          [&](const NumberIndex* numbers) {
            if (numbers == nullptr) return;
            numbers->values.add_matching(wanted.key, result);
            unmask_ids(result, snapshot);
          },
          snapshot);
      return result;
    case QueryKey::Kind::Text: {
      auto guard = str_radix_map.read(snapshot);
      if (!*guard) return result;
      (*guard)->values.add_matching(wanted.text, result);
      unmask_ids(result, snapshot);
      return result;
    }
    case QueryKey::Kind::Boolean: {
      auto guard = bool_map.read(snapshot);
      if (!*guard) return result;
      result = (**guard)[bool_slot(wanted.flag)].bitmap();
      unmask_ids(result, snapshot);
      return result;
    }
    case QueryKey::Kind::Identity: {
      auto table = elements.read(snapshot);
      {
        auto guard = exact.read();
        if (!*guard) return result;
        auto found = (*guard)->find(value);
        if (found != (*guard)->end()) found->second.add_to(result);
      }
      unmask_in(table->get(), result);
      return result;
    }
  }
  return result;
}

namespace {

// The (id, key) pairs of `sets`, in ascending id order, so that a structure
// built from them appends to its bitmaps' containers instead of shifting
// their contents.
template <class Key, class Sets>
std::vector<std::pair<uint32_t, Key>> entries_by_id(const Sets& sets) {
  std::vector<std::pair<uint32_t, Key>> entries;
  sets.walk_keys(false, [&](const Key& key, const HybridSet& ids) {
    ids.for_each([&](uint32_t id) { entries.emplace_back(id, key); });
    return true;
  });
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return entries;
}

// The structures built on demand, from the sets, under the owner's write
// lock; queued moves are applied to slices that exist already.
void ready_slices(NumberIndex& numbers) {
  numbers.values.apply_moves();
  if (NumericalBitmap* slices = numbers.slices.get()) {
    slices->drain_moves();
    return;
  }
  auto built = std::make_unique<NumericalBitmap>();
  const auto entries = entries_by_id<OrderKey>(numbers.values);
  for (const auto& [id, key] : entries) built->push(key, id);
  built->flush();
  numbers.slices.install(std::move(built), entries.size());
}

void ready_positions(StringIndex& strings) {
  if (strings.positions.get() != nullptr) return;
  auto built = std::make_unique<PositionalBitmap>();
  const auto entries = entries_by_id<std::string_view>(strings.values);
  for (const auto& [id, text] : entries) built->push(text, id);
  built->flush();
  strings.positions.install(std::move(built), entries.size());
}

}  // namespace

void QueryMap::settle_queued_moves() {
  {
    auto guard = num_ordered.read();
    if (!*guard) return;
    const NumericalBitmap* slices = (*guard)->slices.get();
    if (slices != nullptr && !slices->has_queued_moves() && !(*guard)->values.has_pending_moves()) {
      return;
    }
  }
  auto guard = num_ordered.write();
  if (*guard) ready_slices(**guard);
}

void QueryMap::apply_number_moves() {
  read_numbers([](const NumberIndex*) {});
}

void QueryMap::prepare_positions() {
  {
    auto guard = str_radix_map.read();
    if (!*guard || (*guard)->positions.get() != nullptr) return;
  }
  auto guard = str_radix_map.write();
  if (*guard) ready_positions(**guard);
}

void QueryMap::hold_sub_indexes(ReadSnapshot& snapshot) const {
  snapshot.hold(str_radix_map);
  snapshot.hold(num_ordered);
  snapshot.hold(bool_map);
  snapshot.hold(elements);
}

Bitmap QueryMap::range(const KeyRange& range, const Bitmap& base,
                       const ReadSnapshot* snapshot) const {
  if (range.empty()) return Bitmap();
  const KeyBound<OrderKey>* lower = range.lower();
  const KeyBound<OrderKey>* upper = range.upper();
  {
    auto guard = num_ordered.read(snapshot);
    if (!*guard) return Bitmap();
    const NumericalBitmap* slices = (*guard)->slices.get();
    const bool slices_ready = slices != nullptr && !slices->has_queued_moves();
    // A snapshot holds the read lock until it ends, so under it the write
    // lock that builds the slices or applies their queued moves cannot be
    // taken: the range walks every distinct value it spans instead, and the
    // sets answer with their own queued moves applied in passing.
    const bool must_walk = !slices_ready && guard.borrowed();
    const bool sets_ready = !(*guard)->values.has_pending_moves() || guard.borrowed();
    if (sets_ready) {
      if (std::optional<Bitmap> result =
              range_in(**guard, lower, upper, base, true, slices_ready, must_walk, snapshot)) {
        return std::move(*result);
      }
    }
  }
  // The slices are missing or have moves queued, or the sets have: build or
  // settle them, and answer under the write lock, which no later write can
  // slip in front of.
  auto guard = num_ordered.write();
  if (!*guard) return Bitmap();
  (*guard)->values.apply_moves();
  const NumericalBitmap* slices = (*guard)->slices.get();
  const bool slices_ready = slices != nullptr && !slices->has_queued_moves();
  if (std::optional<Bitmap> result =
          range_in(**guard, lower, upper, base, true, slices_ready, false, nullptr)) {
    return std::move(*result);
  }
  ready_slices(**guard);
  return *range_in(**guard, lower, upper, base, false, true, false, nullptr);
}

namespace {

// Adds to `out` the ids of `candidates` whose key lies between the bounds (a
// null bound is open), read from the bit slices alone.
void slice_range(const NumericalBitmap& slices, const KeyBound<OrderKey>* lower,
                 const KeyBound<OrderKey>* upper, const Bitmap& candidates, Bitmap& out) {
  const Bitmap* below_scope = &candidates;
  Bitmap above_lower;
  if (lower != nullptr) {
    Bitmap& target = upper == nullptr ? out : above_lower;
    lower->inclusive ? slices.get_gte_into_base(lower->key, target, candidates)
                     : slices.get_gt_into_base(lower->key, target, candidates);
    if (upper == nullptr) return;
    below_scope = &above_lower;
  }
  upper->inclusive ? slices.get_lte_into_base(upper->key, out, *below_scope)
                   : slices.get_lt_into_base(upper->key, out, *below_scope);
}

}  // namespace

std::optional<Bitmap> QueryMap::range_in(const NumberIndex& numbers,
                                         const KeyBound<OrderKey>* lower,
                                         const KeyBound<OrderKey>* upper, const Bitmap& base,
                                         bool walk_values, bool slices_ready, bool walk_all,
                                         const ReadSnapshot* snapshot) const {
  auto table = elements.read(snapshot);
  // Elements of lists, tuples and sets carry masked ids outside `base`; they
  // take part as their holders do.
  Bitmap candidates = base;
  if (*table) candidates |= (*table)->masked_ids;
  // NaN keys sort past the infinities but lie in no range: an open end is
  // closed at the matching infinity, for the walk and the slices alike. Only
  // when keys lie beyond it, so that an open range over the slices keeps its
  // single pass down the key bits.
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const KeyBound<OrderKey> lowest{order_key(-kInfinity), true};
  const KeyBound<OrderKey> highest{order_key(kInfinity), true};
  if (lower == nullptr && numbers.values.has_key_below(lowest.key)) lower = &lowest;
  if (upper == nullptr && numbers.values.has_key_above(highest.key)) upper = &highest;
  Bitmap result;
  // The walk is tried first and abandoned past its limit.
  const size_t max_keys = walk_all ? std::numeric_limits<size_t>::max()
                                   : NumberIndex::max_walked_values(candidates.cardinality());
  if (walk_values && numbers.values.add_range(lower, upper, result, max_keys)) {
    result &= candidates;
  } else if (slices_ready) {
    result = Bitmap();
    slice_range(*numbers.slices.used(), lower, upper, candidates, result);
  } else {
    return std::nullopt;
  }
  unmask_in(table->get(), result);
  return result;
}

template <class Answer>
Bitmap QueryMap::string_query(const PyValue& pattern, const ReadSnapshot* snapshot,
                              Answer&& answer) const {
  const QueryKey key = pattern_key(pattern);
  if (key.matches_nothing()) return Bitmap();
  const std::string_view text = key.text;
  {
    auto guard = str_radix_map.read(snapshot);
    if (!*guard) return Bitmap();
    // Under a snapshot, which holds the read lock until it ends, the write
    // lock that builds the positions cannot be taken: missing positions are
    // answered from the distinct strings instead.
    if (std::optional<Bitmap> result = answer(**guard, text, guard.borrowed())) {
      unmask_ids(*result, snapshot);
      return std::move(*result);
    }
  }
  auto guard = str_radix_map.write();
  if (!*guard) return Bitmap();
  ready_positions(**guard);
  Bitmap result = *answer(**guard, text, false);
  unmask_ids(result);
  return result;
}

// Each answer reads the positions when they are built, and answers from the
// distinct strings when that is cheap or `scan_keys` asks for it; otherwise
// it returns nullopt and is asked again once the positions are built.
Bitmap QueryMap::starts_with(const PyValue& pattern, const ReadSnapshot* snapshot) const {
  return string_query(pattern, snapshot,
                      [](const StringIndex& strings, std::string_view prefix,
                         bool scan_keys) -> std::optional<Bitmap> {
                        // Few distinct strings with the prefix: walk them; many: the positions
                        // answer with one intersection per byte of the prefix.
                        const PositionalBitmap* positions = strings.positions.used();
                        Bitmap result;
                        const size_t max_keys = positions == nullptr && scan_keys
                                                    ? std::numeric_limits<size_t>::max()
                                                    : strings.max_prefix_walk();
                        if (strings.values.add_with_prefix(prefix, result, max_keys)) return result;
                        if (positions == nullptr) return std::nullopt;
                        return positions->starts_with(prefix);
                      });
}

Bitmap QueryMap::ends_with(const PyValue& pattern, const ReadSnapshot* snapshot) const {
  return string_query(pattern, snapshot,
                      [](const StringIndex& strings, std::string_view suffix,
                         bool scan_keys) -> std::optional<Bitmap> {
                        if (const PositionalBitmap* positions = strings.positions.used()) {
                          return positions->ends_with(suffix);
                        }
                        if (!scan_keys) return std::nullopt;
                        Bitmap result;
                        strings.values.add_ending_with(suffix, result);
                        return result;
                      });
}

Bitmap QueryMap::contains(const PyValue& pattern, const ReadSnapshot* snapshot) const {
  return string_query(pattern, snapshot,
                      [](const StringIndex& strings, std::string_view needle,
                         bool scan_keys) -> std::optional<Bitmap> {
                        // The positions cost one intersection per byte of the needle at every
                        // place it could start, which a long needle over long repetitive strings
                        // makes quadratic; a scan of the distinct strings costs their length.
                        constexpr size_t kLongNeedle = 8;
                        const PositionalBitmap* positions =
                            needle.size() < kLongNeedle ? strings.positions.used() : nullptr;
                        if (positions != nullptr) return positions->contains(needle);
                        if (needle.size() < kLongNeedle && !scan_keys) return std::nullopt;
                        Bitmap result;
                        strings.values.add_containing(needle, result);
                        return result;
                      });
}

// ---- narrowing ---------------------------------------------------------------

void QueryMap::remove_items(const Bitmap& removed) {
  std::vector<uint32_t> freed;
  // The removed objects and the elements they own, at any depth.
  const Bitmap dropped = unmap_elements_of(removed, freed);
  drop_from_values(dropped);
  drop_cyclic_links(dropped);
  release_nested_of(dropped);
  free_ids(std::move(freed));
}

Bitmap QueryMap::unmap_elements_of(const Bitmap& removed, std::vector<uint32_t>& freed) {
  Bitmap dropped = removed;
  auto guard = elements.write();
  if (!*guard) return dropped;
  ElementTable& table = **guard;
  table.masked_ids.for_each([&](uint32_t id) {
    if (removed.contains(table.root_of(id))) freed.push_back(id);
  });
  for (uint32_t id : freed) {
    table.mapped_ids.erase(id);
    table.masked_ids.remove(id);
    table.nested_ids.remove(id);
    dropped.add(id);
  }
  table.by_owner.erase_if([&](uint32_t owner) { return dropped.contains(owner); });
  return dropped;
}

void QueryMap::drop_from_values(const Bitmap& dropped) {
  if (auto guard = exact.write(); *guard) {
    for (auto& entry : **guard) entry.second.remove_in(dropped);
    std::erase_if(**guard, [](const auto& entry) { return entry.second.empty(); });
  }
  if (auto guard = str_radix_map.write(); *guard) {
    if (PositionalBitmap* positions = (*guard)->positions.get()) positions->remove_all(dropped);
    (*guard)->values.remove_all(dropped);
  }
  if (auto guard = num_ordered.write(); *guard) {
    if (NumericalBitmap* slices = (*guard)->slices.get()) slices->remove_all(dropped);
    (*guard)->values.remove_all(dropped);
  }
  if (auto guard = bool_map.write(); *guard) {
    for (auto& slot : **guard) slot.bitmap() -= dropped;
  }
}

void QueryMap::drop_cyclic_links(const Bitmap& dropped) {
  // Released after the lock, like every reference this map lets go.
  std::vector<PyValue> unlinked;
  auto links = cyclic_links.write();
  std::erase_if(*links, [&](auto& entry) {
    if (!dropped.contains(entry.first)) return false;
    unlinked.push_back(std::move(entry.second));
    return true;
  });
  cyclic_link_count_.store(links->size(), std::memory_order_release);
  links.release();
}

void QueryMap::release_nested_of(const Bitmap& dropped) {
  std::shared_ptr<IndexAPI> core = nested();
  if (!core) return;
  // Pairs whose holder is gone are unlinked; objects left without any
  // holder leave the nested core.
  Bitmap orphans = core->unregister_holders(dropped);
  for (const StoredItem& item : core->items_at(orphans)) {
    leave_if_unheld(*core, *item.record, std::nullopt);
  }
  leave_deferred();
}

}  // namespace vantorel
