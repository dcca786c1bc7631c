#include "core/index.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/bulk/bulk_adder.h"
#include "core/bulk/bulk_remover.h"
#include "core/bulk/bulk_writers.h"
#include "core/live_set.h"
#include "core/query/query.h"
#include "core/query/query_ops.h"
#include "native/common/prefetch.h"
#include "native/structures/string_interner/string_interner.h"
#include "values/attribute_names.h"

namespace vantorel {

std::vector<std::pair<uint32_t, PyValue>> snapshot_attributes(const IndexableRecord& record) {
  std::vector<std::pair<uint32_t, PyValue>> values;
  snapshot_attributes(record, values);
  return values;
}

void snapshot_attributes(const IndexableRecord& record,
                         std::vector<std::pair<uint32_t, PyValue>>& out) {
  out.clear();
  auto store = std::as_const(record.attributes()).lock();
  out.reserve(store->size());
  store->for_each([&](uint32_t key, const PyValue& value) { out.emplace_back(key, value); });
}

bool is_private_attribute(const InternerSnapshot& names, uint32_t attribute) {
  return !is_indexed_name(names.name(attribute));
}

std::shared_ptr<IndexAPI> IndexAPI::make(std::weak_ptr<QueryMap> owner) {
  return std::make_shared<IndexAPI>(std::move(owner));
}

namespace {

std::atomic<uint64_t> cores_made{0};

}  // namespace

IndexAPI::IndexAPI(std::weak_ptr<QueryMap> owner)
    : serial_(cores_made.fetch_add(1, std::memory_order_relaxed)),
      index_(std::make_shared<PoisonRwLock<MapArray>>(LockRank{LockLevel::kCoreIndex, serial_})),
      items_(std::make_shared<PoisonRwLock<ItemTable>>(LockRank{LockLevel::kItems})),
      allowed_items_(LockRank{LockLevel::kCoreLiveIds, serial_}),
      parent_child_map_(LockRank{LockLevel::kParentChildMap, serial_}),
      owner_(std::move(owner)),
      live_sets_(LockRank{LockLevel::kLiveResults}) {}

bool IndexAPI::is_live(uint32_t id) {
  return allowed_items_.read()->contains(id);
}

std::shared_ptr<QueryMap> IndexAPI::map_for(uint32_t attribute) {
  auto maps = index_->read();
  if (attribute >= maps->size()) return nullptr;
  return (*maps)[attribute];
}

std::shared_ptr<QueryMap> IndexAPI::map_or_create(uint32_t attribute) {
  if (std::shared_ptr<QueryMap> existing = map_for(attribute)) return existing;
  // Created under the write lock and inserted into afterwards, so two threads
  // that meet a new attribute at once share one map and lose nothing.
  auto maps = index_->write();
  if (attribute >= maps->size()) maps->resize(attribute + 1);
  std::shared_ptr<QueryMap>& slot = (*maps)[attribute];
  if (!slot) slot = std::make_shared<QueryMap>(weak_from_this(), serial_, attribute);
  return slot;
}

void IndexAPI::add_object(const StoredItem& item, bool index_private) {
  auto memberships = item.record->indexes().lock();
  add_object_locked(item, *memberships, index_private);
}

void IndexAPI::add_object_locked(const StoredItem& item, MembershipList& memberships,
                                 bool index_private) {
  const IndexableRecord& record = *item.record;
  register_membership(memberships, shared_from_this());
  record.attributes().ever_indexed.store(true, std::memory_order_relaxed);
  std::vector<std::pair<uint32_t, PyValue>> values = snapshot_attributes(record);
  {
    // What the slot held is let go after `items` (the guard is a temporary).
    StoredItem previous = items_->write()->put(record.id, item, size_t{record.id} + 1);
  }
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  for (const auto& [attribute, value] : values) {
    if (!index_private && is_private_attribute(*names, attribute)) continue;
    insert_value(record.id, attribute, value);
  }
  // Live only once every value is indexed: a query never sees the object
  // half entered (which a negation would report as a match).
  allowed_items_.write()->add(record.id);
  note_membership(item);
}

bool IndexAPI::remove_object(const IndexableRecord& record) {
  {
    QueryMap::MembershipHeld held(record.id);
    auto memberships = record.indexes().lock();
    // Under the membership mutex, so that no add of this object runs now; an
    // object registered by a bulk add that has not made it live yet counts
    // as added after this removal.
    if (!is_live(record.id)) return false;
    remove_object_locked(record, *memberships);
  }
  QueryMap::leave_deferred();
  return true;
}

void IndexAPI::remove_object_locked(const IndexableRecord& record, MembershipList& memberships) {
  unregister_membership(memberships, this);
  // Gone before any value goes, so that no query or view sees it half taken
  // out.
  StoredItem previous = depart(record.id);
  for (const auto& [attribute, value] : snapshot_attributes(record)) {
    remove_index(record.id, attribute, value);
  }
  note_membership(previous);
}

StoredItem IndexAPI::depart(uint32_t id) {
  auto live = allowed_items_.write();
  auto table = items_->write();
  live->remove(id);
  return table->vacate(id);
}

namespace {

// Values whose indexing never reaches a nested core, and so never takes an
// object's membership mutex: those may be indexed with `index` held.
bool stays_in_this_core(const PyValue& value) {
  return value.kind() != ValueKind::Iterable && value.kind() != ValueKind::Ind;
}

}  // namespace

void IndexAPI::add_index(uint32_t id, uint32_t attribute, const PyValue& value) {
  insert_value(id, attribute, value);
  if (live_attribute_watched(attribute)) note_assignment(id, attribute, value, nullptr);
}

void IndexAPI::insert_value(uint32_t id, uint32_t attribute, const PyValue& value) {
  if (stays_in_this_core(value) &&
      with_existing_map(attribute, [&](QueryMap& map) { map.insert(value, id); })) {
    return;
  }
  map_or_create(attribute)->insert(value, id);
}

void IndexAPI::replace_index(uint32_t id, uint32_t attribute, const PyValue& old_value,
                             const PyValue& new_value) {
  if (!stays_in_this_core(old_value) || !stays_in_this_core(new_value) ||
      !with_existing_map(attribute,
                         [&](QueryMap& map) { map.replace(old_value, new_value, id); })) {
    map_or_create(attribute)->replace(old_value, new_value, id);
  }
  if (live_attribute_watched(attribute)) note_assignment(id, attribute, new_value, &old_value);
}

void IndexAPI::note_assignment(uint32_t id, uint32_t attribute, const PyValue& value,
                               const PyValue* old_value) {
  if (!has_live_sets()) {
    // A nested core: the live results of the outermost core evaluate again.
    std::shared_ptr<IndexAPI> outermost;
    for (std::shared_ptr<QueryMap> map = owner(); map; map = outermost->owner()) {
      outermost = map->parent();
      if (!outermost) return;
    }
    if (outermost && outermost->has_live_sets()) {
      note_live_change(std::move(outermost), StoredItem{}, attribute);
    }
    return;
  }
  // Matched under the list's lock, which keeps every listed set alive (a set
  // leaves the list before it is destroyed); what needs the object's item,
  // or the set beyond the lock, runs after it. Membership changes are rare:
  // `changed` allocates only for one.
  std::vector<std::pair<std::shared_ptr<LiveSet>, LiveSet::Assigned>> changed;
  bool noted = false;
  {
    auto sets = live_sets_.lock();
    for (const LiveSetEntry& entry : *sets) {
      if (entry.set->reads_only(attribute)) {
        const LiveSet::Assigned assigned = entry.set->settle_assigned(id, value, old_value);
        if (assigned == LiveSet::Assigned::kUnchanged) continue;
        // Room first: a set owned here must not be let go under the lock
        // (its destructor takes it), as a failed allocation would.
        changed.reserve(changed.size() + 1);
        if (std::shared_ptr<LiveSet> set = entry.owner.lock()) {
          changed.emplace_back(std::move(set), assigned);
        }
      } else if (!noted && entry.set->reads_anywhere(attribute)) {
        noted = true;
      }
    }
  }
  if (changed.empty() && !noted) return;
  StoredItem item = stored_at(id);
  if (item.vacant()) return;
  for (auto& [set, assigned] : changed) {
    // Kept for start() now that the item is known, or settled if it began.
    if (assigned == LiveSet::Assigned::kNotStarted) {
      assigned = set->settle_assigned(id, value, nullptr, &item);
    }
    if (assigned == LiveSet::Assigned::kEntered || assigned == LiveSet::Assigned::kLeft) {
      queue_live_notification({std::move(set), item, assigned == LiveSet::Assigned::kEntered});
    }
  }
  if (noted) note_live_change(shared_from_this(), std::move(item), attribute);
}

StoredItem IndexAPI::stored_at(uint32_t id) {
  auto table = items_->read();
  return table->holds(id) ? (*table)[id] : StoredItem{};
}

void IndexAPI::note_membership(const StoredItem& item) {
  if (has_live_sets() && !item.vacant()) note_live_change(shared_from_this(), item, std::nullopt);
}

void IndexAPI::add_live_set(const std::shared_ptr<LiveSet>& set) {
  auto sets = live_sets_.lock();
  sets->push_back({set.get(), set});
  live_set_count_.store(static_cast<uint32_t>(sets->size()), std::memory_order_release);
}

void IndexAPI::remove_live_set(const LiveSet* set) {
  auto sets = live_sets_.lock();
  std::erase_if(*sets, [&](const LiveSetEntry& entry) { return entry.set == set; });
  live_set_count_.store(static_cast<uint32_t>(sets->size()), std::memory_order_release);
}

void IndexAPI::live_sets(std::vector<std::shared_ptr<LiveSet>>& out) {
  out.clear();
  auto sets = live_sets_.lock();
  for (const LiveSetEntry& entry : *sets) {
    if (std::shared_ptr<LiveSet> set = entry.owner.lock()) out.push_back(std::move(set));
  }
}

void IndexAPI::remove_index(uint32_t id, uint32_t attribute, const PyValue& old_value) {
  if (std::shared_ptr<QueryMap> map = map_for(attribute)) map->remove(old_value, id);
}

void IndexAPI::add_object_many(const std::vector<StoredItem>& batch, bool index_private) {
  if (batch.empty()) return;
  // Objects already live here, and objects listed twice, take the single path.
  std::vector<const StoredItem*> bulk;
  std::vector<const StoredItem*> single;
  Bitmap seen = live_ids();
  for (const StoredItem& item : batch) {
    if (seen.contains(item.record->id)) {
      single.push_back(&item);
    } else {
      seen.add(item.record->id);
      bulk.push_back(&item);
    }
  }
  store_batch(bulk);
  make_live(index_batch(bulk, index_private, single));
  if (has_live_sets()) {
    for (const StoredItem* item : bulk) note_membership(*item);
  }
  for (const StoredItem* item : single) add_object(*item, index_private);
}

void IndexAPI::store_batch(const std::vector<const StoredItem*>& bulk) {
  auto table = items_->write();
  uint32_t largest = 0;
  for (const StoredItem* item : bulk) largest = std::max(largest, item->record->id);
  for (const StoredItem* item : bulk) {
    table->put(item->record->id, *item, static_cast<size_t>(largest) + 1);
  }
}

std::vector<uint32_t> IndexAPI::index_batch(const std::vector<const StoredItem*>& bulk,
                                            bool index_private,
                                            std::vector<const StoredItem*>& single) {
  std::shared_ptr<IndexAPI> self = shared_from_this();
  std::vector<uint32_t> entered;
  entered.reserve(bulk.size());
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  BulkWriters<BulkQueryMapAdder> adders(*index_, /*live=*/nullptr, /*items=*/nullptr);
  std::vector<std::pair<uint32_t, PyValue>> values;
  std::vector<HeldBackValue> held_back;
  for (const StoredItem* item : bulk) {
    const IndexableRecord& record = *item->record;
    auto memberships = adders.lock_membership(record);
    record.attributes().ever_indexed.store(true, std::memory_order_relaxed);
    snapshot_attributes(record, values);
    // An object already registered here was indexed by another add, which
    // held this mutex while it indexed, and is re-indexed on the single
    // path, which replaces iterables.
    if (!register_membership(*memberships, self)) {
      single.push_back(item);
      continue;
    }
    for (auto& [attribute, value] : values) {
      if (!index_private && is_private_attribute(*names, attribute)) continue;
      if (holds_indexable(value)) {
        held_back.push_back(HeldBackValue{&record, attribute, std::move(value)});
        continue;
      }
      adders.ensure_writer(attribute, [&] { map_or_create(attribute); });
      adders.enqueue(attribute, record.id, std::move(value));
    }
    entered.push_back(record.id);
  }
  adders.release();
  enter_held_back(held_back);
  return entered;
}

bool IndexAPI::HeldBackValue::still_held() const {
  auto store = std::as_const(holder->attributes()).lock();
  const PyValue* current = store->get(attribute);
  return current != nullptr && *current == value;
}

void IndexAPI::enter_held_back(const std::vector<HeldBackValue>& held_back) {
  for (const HeldBackValue& entry : held_back) {
    auto memberships = entry.holder->indexes().lock();
    if (entry.still_held()) insert_value(entry.holder->id, entry.attribute, entry.value);
  }
}

std::vector<StoredItem> IndexAPI::remove_object_many(
    std::span<const IndexableRecord* const> batch) {
  std::vector<StoredItem> vacated;
  std::vector<HeldBackValue> held_back;
  {
    BulkWriters<BulkQueryMapRemover> removers(*index_, &allowed_items_, items_.get());
    std::vector<std::pair<uint32_t, PyValue>> values;
    // Records lie far apart: each is asked for ahead of its turn, first the
    // record itself, then (once that has come in) the state it points to.
    constexpr size_t kRecordAhead = 16;
    constexpr size_t kStateAhead = 8;
    for (size_t i = 0; i < batch.size(); ++i) {
      if (i + kRecordAhead < batch.size()) prefetch_line(batch[i + kRecordAhead]);
      if (i + kStateAhead < batch.size()) {
        batch[i + kStateAhead]->prefetch();
        removers.items().prefetch(batch[i + kStateAhead]->id);
      }
      const IndexableRecord& record = *batch[i];
      auto memberships = removers.lock_membership(record);
      // Not live: not here, taken out earlier in this batch, or still being
      // added by a bulk add (which counts as an add after this removal).
      if (!removers.live().contains(record.id)) continue;
      unregister_membership(*memberships, this);
      // Out of the live ids and its slot in one step, as depart() does.
      removers.live().remove(record.id);
      vacated.push_back(removers.items().vacate(record.id));
      // The removers hold every map, so these are the values the maps hold
      // for the object: assignments no longer reach this core, and adding
      // the object again waits for the removers to let go.
      snapshot_attributes(record, values);
      for (auto& [attribute, value] : values) {
        if (!removers.has_writer(attribute)) continue;
        if (!holds_indexable(value)) {
          removers.enqueue(attribute, record.id, std::move(value));
          continue;
        }
        // An Indexable value's entry in this attribute's map leaves with the
        // batch; only its link to the nested core waits (remove_left_behind()).
        if (value.kind() == ValueKind::Ind) removers.enqueue(attribute, record.id, PyValue(value));
        held_back.push_back(HeldBackValue{&record, attribute, std::move(value)});
      }
    }
    removers.release();
  }
  remove_held_back(held_back);
  for (const StoredItem& item : vacated) note_membership(item);
  return vacated;
}

void IndexAPI::remove_held_back(const std::vector<HeldBackValue>& held_back) {
  for (const HeldBackValue& entry : held_back) {
    QueryMap::MembershipHeld held(entry.holder->id);
    auto memberships = entry.holder->indexes().lock();
    // Added here again since the batch let go: that add entered the value
    // the object holds now, which is this one's entry when they are equal.
    if (is_registered(*memberships, this) && entry.still_held()) continue;
    if (std::shared_ptr<QueryMap> map = map_for(entry.attribute)) {
      map->remove_left_behind(entry.value, entry.holder->id);
    }
  }
  QueryMap::leave_deferred();
}

void IndexAPI::make_live(std::vector<uint32_t> ids) {
  if (ids.empty()) return;
  std::sort(ids.begin(), ids.end());
  allowed_items_.write()->add_many(ids.data(), ids.size());
}

Bitmap IndexAPI::match(const std::vector<QueryExpr>& exprs, uint64_t* epoch) {
  return read_live([&](const MapArray& maps, const Bitmap& live) {
    if (epoch != nullptr) *epoch = items_->read()->departures();
    return evaluate_and_queries_vec(maps, live, exprs);
  });
}

Bitmap IndexAPI::reduced_query(const QueryExpr& expr, uint64_t* epoch) {
  return read_live([&](const MapArray& maps, const Bitmap& live) {
    if (epoch != nullptr) *epoch = items_->read()->departures();
    return evaluate_query(maps, live, expr, items_.get());
  });
}

void IndexAPI::keep_only_from_bitmap(const Bitmap& keep) {
  Bitmap removed;
  {
    auto allowed = allowed_items_.read();
    removed = *allowed - keep;
  }
  // Removed objects leave the membership lists first, so that no later
  // assignment writes entries for them here.
  for (const StoredItem& item : items_at(removed)) {
    auto memberships = item.record->indexes().lock();
    unregister_membership(*memberships, this);
  }
  // Only the ids found removed above are taken out (an object added while
  // this runs stays live and indexed), and only those still live (one that
  // a removal took out meanwhile had its values taken out with it). They
  // leave the live ids and their slots together, before any value goes, as
  // every removal does (see depart()).
  std::vector<StoredItem> vacated;
  {
    auto live = allowed_items_.write();
    auto table = items_->write();
    removed &= *live;
    *live -= removed;
    vacated.reserve(removed.cardinality());
    removed.for_each([&](uint32_t id) { vacated.push_back(table->vacate(id)); });
  }
  MapArray maps = *index_->read();
  for (const std::shared_ptr<QueryMap>& map : maps) {
    if (map) map->remove_items(removed);
  }
  for (const StoredItem& item : vacated) note_membership(item);
}

void IndexAPI::register_path(uint32_t parent, uint32_t child) {
  auto map = parent_child_map_.write();
  if (!map->has_pair(parent, child)) map->register_pair(parent, child);
}

bool IndexAPI::has_path(uint32_t parent, uint32_t child) {
  return parent_child_map_.read()->has_pair(parent, child);
}

bool IndexAPI::unregister_path(std::optional<uint32_t> holder, uint32_t child) {
  auto map = parent_child_map_.write();
  if (holder) map->unregister_pair(*holder, child);
  return map->has_parents(child);
}

Bitmap IndexAPI::unregister_holders(const Bitmap& holders) {
  Bitmap orphans;
  auto map = parent_child_map_.write();
  for (auto [holder, child] : map->pairs()) {
    if (!holders.contains(holder)) continue;
    map->unregister_pair(holder, child);
    if (!map->has_parents(child)) orphans.add(child);
  }
  return orphans;
}

Bitmap IndexAPI::get_parent_from_ids(const Bitmap& children, const ReadSnapshot* snapshot) {
  if (children.empty()) return Bitmap();
  return parent_child_map_.read(snapshot)->exact_parents_of(children);
}

uint64_t IndexAPI::count() {
  return allowed_items_.read()->cardinality();
}

Bitmap IndexAPI::live_ids() {
  return *allowed_items_.read();
}

uint64_t IndexAPI::departures() {
  return items_->read()->departures();
}

std::vector<StoredItem> IndexAPI::live_items() {
  return items_at(live_ids());
}

std::vector<StoredItem> IndexAPI::items_at(const Bitmap& ids, std::optional<uint64_t> epoch) {
  std::vector<StoredItem> result;
  result.reserve(ids.cardinality());
  read_items(epoch).for_each_at(ids, [&](const StoredItem& item) { result.push_back(item); });
  return result;
}

Bitmap IndexAPI::present(const Bitmap& ids, uint64_t epoch) {
  return items_->read()->present(ids, epoch);
}

uint64_t IndexAPI::count_present(const Bitmap& ids, uint64_t epoch) {
  return items_->read()->count_present(ids, epoch);
}

}  // namespace vantorel
