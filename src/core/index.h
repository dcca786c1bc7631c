// IndexAPI: the native core of one index.
//
// Four parts, each behind its own reader-writer lock (all private: the
// layers above go through the operations below):
//   index            - one QueryMap per attribute id (null until the attribute
//                      is first indexed here);
//   items            - the stored object per item id (vacant slots elsewhere);
//   allowed_items    - the ids live in this index;
//   parent_child_map - for a nested core, which holder holds which object.
// The FilteredIndex sets made from this core hold the core itself. A nested
// core (owned by a QueryMap of its parent core) links back to that QueryMap
// weakly.
//
// Lock order, outermost first (native/sync/lock_order.h ranks the locks by
// it; the debug and sanitizer builds check it at every blocking acquisition):
//   1. an object's membership mutex (a holder's before that of the object it
//      holds: nesting follows the object graph, and a nested object joins or
//      leaves a nested core only under its own membership mutex);
//   2. the locks of the cores, core by core in the order they were made (a
//      nested core, made after the core that owns it, comes after it), and
//      within a core:
//      a. `index`;
//      b. `allowed_items`;
//      c. the sub-index locks of its QueryMaps, by attribute, each map's in
//         the order query.h gives;
//      d. `parent_child_map` (a nested core's, read under its owner's
//         element table);
//   3. leaves, taken under any of the above, in this order: a QueryMap's
//      cyclic_links, `items`, the exact-value maps, an object's
//      attribute mutex (held only to copy or write the store), the id
//      allocator, the interner, `live_sets` (this core's live results), a
//      live result's members (live_set.h).
// Writers take one of `index`, `allowed_items`, `parent_child_map` and
// `items` at a time, except that every removal holds `allowed_items` and
// `items` together (see depart()); only evaluation (read locks, several
// attributes' in a snapshot), the whole-set reads of FilteredIndex (read
// locks) and the bulk paths (add_object_many, remove_object_many) hold
// several. The one step against this order, a bulk path meeting a membership
// mutex while it holds sub-index locks, only tries it (see add_object_many).
// The bulk paths' helper threads take only leaf locks (the exact-value maps,
// the id allocator): they write the sub-indexes whose locks the
// calling thread holds, and the calling thread lets go only once they are
// done. No operation here waits for the interpreter lock; each "Locks:" line
// below says what a method takes, and "REQUIRES:" what its caller must
// already hold.
//
// Invariant: an object has entries in this core's value indexes only while
// this core is in its membership list, and it is in that list only while it
// is live here (or being added), so ids of removed or dead objects never
// leave stale entries behind for a later holder of the same id.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/item_table.h"
#include "native/structures/m2m/m2m.h"
#include "native/structures/roaring/bitmap.h"
#include "native/sync/poison_lock.h"
#include "values/stored_item.h"

namespace vantorel {

class InternerSnapshot;
class LiveSet;
class QueryMap;
struct QueryExpr;

// The item table of a core, read-locked for as long as this lives, as a view
// made at some departure count sees it (or, with no count, every stored
// object).
class HeldItems {
 public:
  HeldItems(PoisonRwLock<ItemTable>::ReadGuard table, std::optional<uint64_t> epoch)
      : table_(std::move(table)), epoch_(epoch) {}

  // Calls each(item) for every id of `ids` (a Bitmap, or a range of ids)
  // whose object is reported, in the order of `ids`.
  template <class Ids, class Each>
  void for_each_at(const Ids& ids, Each&& each) const {
    table_->for_each_at(ids, epoch_, each);
  }
  // Calls each(item) for every stored object, whatever the epoch.
  template <class Each>
  void for_each_stored(Each&& each) const {
    for (const StoredItem& item : *table_) {
      if (!item.vacant()) each(item);
    }
  }

 private:
  PoisonRwLock<ItemTable>::ReadGuard table_;
  std::optional<uint64_t> epoch_;
};

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  using MapArray = std::vector<std::shared_ptr<QueryMap>>;
  using ItemTable = ::vantorel::ItemTable;

  // An empty core. `owner` is the QueryMap whose nested core this is (empty
  // for the core of a Python Index).
  static std::shared_ptr<IndexAPI> make(std::weak_ptr<QueryMap> owner = {});

  explicit IndexAPI(std::weak_ptr<QueryMap> owner);
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;

  // Adds one object: registers this core in its memberships, marks it live,
  // stores it and indexes its attributes whose names do not begin with "_".
  // Adding an object that is already here re-indexes its values. With
  // `index_private`, names beginning with "_" are indexed too.
  // Locks: the object's membership mutex for the whole call; under it, one
  // at a time, its attribute mutex, `items` (write), `index` and the
  // QueryMap locks (per value), `allowed_items` (write).
  void add_object(const StoredItem& item, bool index_private = false);
  // The same, for a caller that holds the object's membership mutex and
  // passes the locked list.
  // REQUIRES: the object's membership mutex (`memberships` is its list).
  // Locks: as add_object, under it.
  void add_object_locked(const StoredItem& item, MembershipList& memberships,
                         bool index_private = false);

  // Adds many objects through the bulk path (buffered bitmaps, sub-index
  // locks taken once). With `index_private`, names beginning with "_" are
  // indexed too. Objects already live here or listed twice go through
  // add_object after the batch; values holding Indexable objects are
  // entered one by one after it.
  // Locks: `allowed_items` (read), then `items` (write), each alone; then,
  // for the batch, `index` (read) and the write locks of every QueryMap's
  // sub-indexes (in ascending attribute order, each map's in its order),
  // under which each object's membership mutex and attribute mutex are
  // taken. That is against the lock order: an assignment holds an object's
  // membership mutex while it waits for those sub-index locks. So the
  // membership mutex is only tried; when it is busy, every batch lock is let
  // go (buffers flushed), the mutex is waited for, and the batch locks are
  // taken again. A value of an attribute with no QueryMap yet does the same
  // to create the map under `index` (write). Last, `allowed_items` (write).
  void add_object_many(const std::vector<StoredItem>& items, bool index_private);

  // Takes an object out of this core: unregisters the membership, marks it
  // not live and vacates its slot (in one step, see depart()), then removes
  // its value entries (its elements and, in the nested cores, the objects
  // that no other holder holds go with them). Cost: the object's own values.
  // An object that is not live here is left alone; returns whether the
  // object was taken out.
  // Locks: the object's membership mutex for the whole call; under it, one
  // after the other: `allowed_items` (read); `allowed_items` and `items`
  // (write, together); its attribute mutex; `index` and the QueryMap locks
  // (per value; the nested cores' locks after them).
  bool remove_object(const IndexableRecord& record);
  // REQUIRES: the object's membership mutex (`memberships` is its list), and
  // the object live here.
  // Locks: as remove_object, under it.
  void remove_object_locked(const IndexableRecord& record, MembershipList& memberships);
  // Takes many objects out, as remove_object does each, through the bulk
  // path: each leaves the live ids and its slot together first (as depart()
  // does), then its values leave sorted by value, one attribute per core,
  // with the sub-index locks taken once. An Indexable value's entry leaves
  // with the batch; its link to the nested core, and lists that hold
  // Indexable objects, leave one by one after it (remove_held_back).
  // Locks: for the batch, `index` (read), `allowed_items` (write), the
  // sub-index write locks (as add_object_many takes them) and `items`
  // (write), under which each object's membership mutex is tried as
  // add_object_many tries it and its attribute mutex taken; then, per value
  // that holds Indexable objects, the locks of remove_object. Returns what
  // the vacated slots held, for the caller to let go (under the interpreter
  // lock, where it has it: releases without it wait in a queue).
  std::vector<StoredItem> remove_object_many(std::span<const IndexableRecord* const> batch);

  // Index or unindex one (attribute, value) pair of item `id`. add_index
  // and replace_index are the assignment's paths: when a live result may
  // read the attribute, they note the object for the live results (see
  // live_set.h), as every add and removal does.
  // REQUIRES: the membership mutex of the object `id` (so that its entries
  // and its membership agree).
  // Locks: `index` (read; write to create the attribute's QueryMap), then,
  // after it, that QueryMap's locks (see QueryMap::insert and remove); to
  // note the object, `items` (read).
  void add_index(uint32_t id, uint32_t attribute, const PyValue& value);
  void remove_index(uint32_t id, uint32_t attribute, const PyValue& old_value);
  // remove_index(old_value) then add_index(new_value), in one step.
  void replace_index(uint32_t id, uint32_t attribute, const PyValue& old_value,
                     const PyValue& new_value);

  // The live ids that match every expression of `exprs` (all live ids when
  // there is none). With `epoch`, also the departure count of the item table
  // (see ItemTable) read under the same lock of the live ids: the epoch of a
  // view made from the result. Every removal leaves the live ids and counts
  // its departure in one step, so no id of the result had left by then, and
  // any that leaves later is counted after it.
  // Locks: `index`, `allowed_items` (read), held for the evaluation, which
  // reads `items` (for the epoch) and the QueryMaps and nested cores (and
  // tries `items`) in lock order.
  Bitmap match(const std::vector<QueryExpr>& exprs, uint64_t* epoch = nullptr);
  // Evaluates `expr` against this core's live ids.
  // Locks: as match.
  Bitmap reduced_query(const QueryExpr& expr, uint64_t* epoch = nullptr);
  // Narrows the core in place to the live ids of `keep`.
  // Locks: one at a time: `allowed_items` (read), `items` (read), each
  // leaving object's membership mutex, `allowed_items` and `items` (write,
  // together), `index` (read), every QueryMap's locks
  // (QueryMap::remove_items).
  void keep_only_from_bitmap(const Bitmap& keep);

  // Runs fn(value indexes) with them read-locked; returns what fn returns.
  // Locks: `index` (read) while fn runs, unless `snapshot` holds it.
  template <class Fn>
  auto read_maps(Fn&& fn, const ReadSnapshot* snapshot = nullptr) {
    auto maps = index_->read(snapshot);
    return fn(*maps);
  }
  // Runs fn(value indexes, live ids) with both read-locked, for an
  // evaluation against this core; returns what fn returns.
  // Locks: `index`, then `allowed_items` (read) while fn runs, unless
  // `snapshot` holds them.
  template <class Fn>
  auto read_live(Fn&& fn, const ReadSnapshot* snapshot = nullptr) {
    auto maps = index_->read(snapshot);
    auto live = allowed_items_.read(snapshot);
    return fn(*maps, *live);
  }
  // Adds `index` and `allowed_items`, then (hold_paths) `parent_child_map`,
  // to `snapshot`, for a query that reads this nested core more than once.
  void hold_live(ReadSnapshot& snapshot) const {
    snapshot.hold(*index_);
    snapshot.hold(allowed_items_);
  }
  void hold_paths(ReadSnapshot& snapshot) const { snapshot.hold(parent_child_map_); }
  // The order in which cores were made: a nested core comes after the core
  // that owns it.
  uint64_t serial() const { return serial_; }
  // The same without waiting: false when a lock is busy, else what fn (which
  // returns bool) returns.
  template <class Fn>
  bool try_read_live(Fn&& fn) {
    auto maps = index_->try_read();
    if (!maps) return false;
    auto live = allowed_items_.try_read();
    if (!live) return false;
    return fn(**maps, **live);
  }

  // The parent/child links of a nested core. Each takes `parent_child_map`
  // alone (write for the changes, read for the lookups); the try_ form does
  // not wait.
  //
  // Records that `parent` holds `child`.
  void register_path(uint32_t parent, uint32_t child);
  // Whether `parent` holds `child`.
  bool has_path(uint32_t parent, uint32_t child);
  // Drops the pair (`holder`, `child`) when a holder is given; returns
  // whether `child` still has a holder.
  bool unregister_path(std::optional<uint32_t> holder, uint32_t child);
  // Drops every pair whose holder is in `holders`; returns the children
  // left without any holder.
  Bitmap unregister_holders(const Bitmap& holders);
  // Exact holders of the given held ids (`parent_child_map` read, unless
  // `snapshot` holds it).
  Bitmap get_parent_from_ids(const Bitmap& children, const ReadSnapshot* snapshot = nullptr);
  // Runs fn(links) (the parent/child map, read-locked) without waiting:
  // false when the lock is busy, else what fn (which returns bool) returns.
  template <class Fn>
  bool try_read_paths(Fn&& fn) {
    auto links = parent_child_map_.try_read();
    if (!links) return false;
    return fn(**links);
  }

  // The live results of this core (live_set.h), held weakly: registered by
  // LiveSet::start, unregistered by LiveSet::close and before a LiveSet is
  // destroyed. Locks: `live_sets`.
  void add_live_set(const std::shared_ptr<LiveSet>& set);
  void remove_live_set(const LiveSet* set);
  // Fills `out` (cleared first) with the live results of this core.
  void live_sets(std::vector<std::shared_ptr<LiveSet>>& out);
  // Whether any live result is registered here (a hint read without a lock).
  bool has_live_sets() const { return live_set_count_.load(std::memory_order_acquire) > 0; }

  // Locks: `allowed_items` (read).
  bool is_live(uint32_t id);
  // The QueryMap of `attribute`, or null when this core has none.
  // Locks: `index` (read), let go before returning.
  std::shared_ptr<QueryMap> map_for(uint32_t attribute);
  std::shared_ptr<QueryMap> owner() const { return owner_.lock(); }

  // The number of live ids, and a copy of them.
  // Locks: `allowed_items` (read).
  uint64_t count();
  Bitmap live_ids();
  // The item table's departure count (see ItemTable). Locks: `items` (read).
  uint64_t departures();
  // The stored item of `id` (vacant when there is none). Locks: `items` (read).
  StoredItem stored_at(uint32_t id);

  // Live items in ascending id order (vacant slots skipped).
  // Locks: `allowed_items` (read), then, after it is let go, `items` (read).
  std::vector<StoredItem> live_items();
  // The items at `ids` that a view made at `epoch` reports (with no epoch:
  // every stored one), in ascending id order.
  // Locks: `items` (read), as the remaining item-table methods do.
  std::vector<StoredItem> items_at(const Bitmap& ids, std::optional<uint64_t> epoch = std::nullopt);
  // The ids of `ids` that a view made at `epoch` reports, and their number.
  Bitmap present(const Bitmap& ids, uint64_t epoch);
  uint64_t count_present(const Bitmap& ids, uint64_t epoch);
  // The item table read-locked, as a view made at `epoch` sees it (with no
  // epoch: every stored object). try_read_items() gives nullopt instead of
  // waiting.
  HeldItems read_items(std::optional<uint64_t> epoch = std::nullopt) const {
    return HeldItems(items_->read(), epoch);
  }
  std::optional<HeldItems> try_read_items(std::optional<uint64_t> epoch = std::nullopt) const {
    auto table = items_->try_read();
    if (!table) return std::nullopt;
    return HeldItems(std::move(*table), epoch);
  }

 private:
  std::shared_ptr<QueryMap> map_or_create(uint32_t attribute);
  // Runs fn(map) on the QueryMap of `attribute` with `index` held for
  // reading (as a query holds it while it reads the maps), which spares the
  // shared handle of map_for on the assignment path. fn must not take an
  // object's membership mutex: an assignment that holds one may wait for
  // `index` to create a map. False, without running fn, when the core has
  // no map for it yet.
  template <class Fn>
  bool with_existing_map(uint32_t attribute, Fn&& fn) {
    auto maps = index_->read();
    if (attribute >= maps->size() || !(*maps)[attribute]) return false;
    fn(*(*maps)[attribute]);
    return true;
  }
  // add_index without noting the object for the live results: for the adds,
  // which note it once it is live.
  void insert_value(uint32_t id, uint32_t attribute, const PyValue& value);
  // Settles the object `id`, assigned `value`, in the live results that
  // read `attribute` alone (LiveSet::settle_assigned), and notes it for the
  // other live results that read `attribute`; in a nested core, notes the
  // assignment for the live results of the outermost core.
  // Locks: `live_sets`, under it as settle_assigned; then `items` (read);
  // then, for a set not yet started, its members.
  // `old_value`: the value replaced, or null when the name was not set.
  void note_assignment(uint32_t id, uint32_t attribute, const PyValue& value,
                       const PyValue* old_value);
  // Notes `item` for every live result, when this core has any.
  void note_membership(const StoredItem& item);
  // Takes `id` out of the live ids and empties its item table slot (which
  // counts a departure) in one step: a view whose epoch was read with the
  // live ids either never had the id or sees it gone. Every removal does
  // this before it takes any of the object's values out of the QueryMaps,
  // so that the objects a view reports keep their values while it reads
  // the maps under the live ids' lock. Returns what the slot held, for the
  // caller to release outside the locks.
  // Locks: `allowed_items`, then `items` (write, together).
  StoredItem depart(uint32_t id);
  // The phases of add_object_many. store_batch puts the objects in the item
  // table (`items`, write). index_batch indexes their values through the
  // bulk adders, then enters the values that hold Indexable objects one by
  // one (enter_held_back); it passes the objects that need the single path
  // to `single` and returns the ids it indexed. make_live adds `ids` to the
  // live ids (`allowed_items`, write).
  void store_batch(const std::vector<const StoredItem*>& bulk);
  std::vector<uint32_t> index_batch(const std::vector<const StoredItem*>& bulk, bool index_private,
                                    std::vector<const StoredItem*>& single);
  // A value that holds Indexable objects, kept back from the bulk adders:
  // the nested cores take the held objects' membership mutexes, which the
  // adders' locks must not be held across.
  struct HeldBackValue {
    const IndexableRecord* holder;
    uint32_t attribute;
    PyValue value;
    // Whether the holder holds `value` still. Locks: its attribute mutex.
    bool still_held() const;
  };
  // Enters each value under its holder's membership mutex, unless an
  // assignment replaced it since the snapshot (that assignment entered the
  // new value itself). Locks: as add_object, one holder at a time.
  void enter_held_back(const std::vector<HeldBackValue>& held_back);
  // Takes out each value under its holder's membership mutex, unless the
  // holder was added here again since and holds that value still (the add
  // entered it anew). Locks: as remove_object, per value.
  void remove_held_back(const std::vector<HeldBackValue>& held_back);
  void make_live(std::vector<uint32_t> ids);

  const uint64_t serial_;  // first: the locks' ranks are made from it
  std::shared_ptr<PoisonRwLock<MapArray>> index_;
  std::shared_ptr<PoisonRwLock<ItemTable>> items_;
  PoisonRwLock<Bitmap> allowed_items_;
  PoisonRwLock<M2MU32> parent_child_map_;
  std::weak_ptr<QueryMap> owner_;
  // A listed live result. `set` stays valid while the list is locked: the
  // set takes itself off the list before it is destroyed.
  struct LiveSetEntry {
    LiveSet* set;
    std::weak_ptr<LiveSet> owner;
  };
  PoisonMutex<std::vector<LiveSetEntry>> live_sets_;
  std::atomic<uint32_t> live_set_count_{0};  // size of `live_sets_`, written under its lock
};

// Attribute values of a record, copied under its attribute mutex.
std::vector<std::pair<uint32_t, PyValue>> snapshot_attributes(const IndexableRecord& record);
// The same into `out`, which is cleared first (a loop reuses its capacity).
void snapshot_attributes(const IndexableRecord& record,
                         std::vector<std::pair<uint32_t, PyValue>>& out);

// Whether the interned attribute name of `attribute` begins with "_".
bool is_private_attribute(const InternerSnapshot& names, uint32_t attribute);

}  // namespace vantorel
