// QueryMap: the value index of one attribute inside one index core.
//
// For every object of the core that holds the attribute, its item id is
// entered into the sub-index that fits the value's kind:
//   Int, Float  -> num_ordered   (the ids per distinct 76-bit order key, and
//                                 bit slices of the keys, built on demand)
//   Str         -> str_radix_map (the ids per distinct string, and
//                                 byte-per-position bitmaps, built on demand)
//   Bool        -> bool_map      (slot 0 true, slot 1 false)
//   Iterable    -> each element under a masked id of its own (elements)
//   Ind         -> exact, and the object itself into the nested core
//   Unknown     -> exact         (value -> id set)
// Each sub-index is created on first insertion, so an unused QueryMap costs a
// few hundred bytes. Each has its own reader-writer lock (all private).
//
// Lock order: str_radix_map, num_ordered, bool_map, elements; the nested
// core's locks and cyclic_links come later (see index.h). The exact-value map
// is a leaf, taken with nothing else of this map held but `elements` (read,
// by eq). A single-value writer holds one sub-index
// lock at a time; the bulk adder holds the four for its whole life, in that
// order; a query that reads this map more than once holds them all in that
// order in its snapshot (hold_sub_indexes). The owning core's `index` is
// taken before any of them.
//
// Query operators return ids of the owning core: masked element ids are
// mapped back to the objects that hold them. They do not confine results to
// the live ids; the evaluator intersects with the allowed set. Which stored
// values a query value matches is the rule of compare.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/query/bool_map.h"
#include "core/query/element_owners.h"
#include "core/query/on_demand.h"
#include "native/structures/flat_id_map/flat_id_map.h"
#include "native/structures/hybrid_set/hybrid_set.h"
#include "native/structures/ordered_bitmap/ordered_bitmap.h"
#include "native/structures/positional_bitmap/positional_bitmap.h"
#include "native/structures/roaring/bitmap.h"
#include "native/structures/value_sets/string_sets.h"
#include "native/structures/value_sets/value_sets.h"
#include "native/sync/poison_lock.h"
#include "values/value.h"

namespace vantorel {

class IndexAPI;
class KeyRange;

// Values compared by identity or by their own equality (objects, tuples...):
// the ids per distinct value.
using ExactMap = std::unordered_map<PyValue, HybridSet, PyValueHash>;

// Numbers: the sets answer equality with one lookup, and ranges that span
// few distinct values; every write keeps them current, an assignment by a
// move queued in them (NumberSets::defer_move) that the next reader applies
// with all the others queued, under the write lock. The bit slices answer
// ranges that span many distinct values in a bounded number of bitmap
// operations; they are built from the sets when such a range first needs
// them, and dropped when writes go by without a use (see OnDemand).
struct NumberIndex {
  NumberSets values;
  OnDemand<NumericalBitmap> slices;

  // A range walks the distinct values it spans while they are at most
  // max_walked_values(candidates), and asks the slices past that. Walking a
  // distinct value costs about what one bit slice costs per
  // kCandidatesPerWalkedValue candidates; the first kMinWalkedValues are
  // always walked, since the slices cost their 76 rounds over few
  // candidates too.
  static constexpr size_t kMinWalkedValues = 64;
  static constexpr size_t kCandidatesPerWalkedValue = 32;
  static size_t max_walked_values(uint64_t candidates) {
    return static_cast<size_t>(kMinWalkedValues + candidates / kCandidatesPerWalkedValue);
  }
};

// Strings likewise: the sets answer equality (and prefixes shared by few
// distinct strings); the positions, built on demand, answer suffixes,
// substrings and the prefixes of many strings.
struct StringIndex {
  StringSets values;
  OnDemand<PositionalBitmap> positions;

  // A prefix walks the distinct strings that carry it while they are at
  // most max_prefix_walk(), and asks the positions past that: the walk costs
  // a set union per string, the positions an intersection per byte of the
  // prefix however many strings carry it. The limit grows by one per
  // kDistinctPerWalkedString distinct strings held, from kMinWalkedStrings.
  static constexpr size_t kMinWalkedStrings = 64;
  static constexpr size_t kDistinctPerWalkedString = 64;
  size_t max_prefix_walk() const {
    return kMinWalkedStrings + values.key_count() / kDistinctPerWalkedString;
  }
};

struct ElementTable {
  Bitmap masked_ids;     // every masked id handed out here
  FlatIdMap mapped_ids;  // masked id -> owner id
  Bitmap nested_ids;     // the masked ids whose owner is a masked id too
  // owner id -> the elements its current iterable value was indexed with, so
  // that removal frees exactly what insertion handed out.
  ElementOwners by_owner;

  ElementTable() = default;
  ElementTable(const ElementTable&) = delete;
  ElementTable& operator=(const ElementTable&) = delete;
  ~ElementTable();  // frees every masked id still handed out

  // Follows owner links up to an id that no element maps from: the object of
  // the core that holds the element. While a nested container is being taken
  // out, the walk can end at the container's masked id instead; that id is
  // still allocated, so it is no live object and the caller's intersection
  // with the live ids drops it.
  uint32_t root_of(uint32_t id) const;
};

class QueryMap : public std::enable_shared_from_this<QueryMap> {
 public:
  // The map of `attribute` in the core `parent`, whose serial is `core`.
  QueryMap(std::weak_ptr<IndexAPI> parent, uint64_t core, uint32_t attribute);
  QueryMap(const QueryMap&) = delete;
  QueryMap& operator=(const QueryMap&) = delete;

  // Single-value paths: enter or remove `value` for item (or masked) id `id`.
  // Locks: the sub-index of the value's kind (write), alone; an iterable
  // takes `elements` (write) to hand out or retire its masked ids and then
  // enters each element the same way; an Indexable value joins or leaves
  // the nested core (add_object_locked / remove_object_locked there, under
  // the held object's membership mutex) and may take cyclic_links (write).
  // REQUIRES: the membership mutex of the object `id` (or of the object
  // that holds the element `id`).
  void insert(const PyValue& value, uint32_t id);
  void remove(const PyValue& value, uint32_t id);
  // What remove() leaves to do after a batch removal of the object `id`,
  // which has left the core (and may have been added again since): an
  // iterable's elements go only while they are still the ones `value` was
  // entered with, since an add gives fresh ones; an Indexable `value` had its
  // entry taken out by the batch, and only its link to the nested core goes.
  void remove_left_behind(const PyValue& value, uint32_t id);
  // remove(old_value) then insert(new_value), touching only what differs
  // when both are numbers. Locks: as remove, then as insert; two numbers
  // under one num_ordered write lock.
  void replace(const PyValue& old_value, const PyValue& new_value, uint32_t id);

  // Operators (see the header comment for the id space of their results).
  // Locks: the sub-index they read (read; write only to build a structure
  // on demand), then `elements` (read) to map masked ids back; a lock that
  // `snapshot` holds is read through it.
  Bitmap eq(const PyValue& value, const ReadSnapshot* snapshot = nullptr) const;
  Bitmap range(const KeyRange& range, const Bitmap& base,
               const ReadSnapshot* snapshot = nullptr) const;
  Bitmap starts_with(const PyValue& pattern, const ReadSnapshot* snapshot = nullptr) const;
  Bitmap ends_with(const PyValue& pattern, const ReadSnapshot* snapshot = nullptr) const;
  Bitmap contains(const PyValue& pattern, const ReadSnapshot* snapshot = nullptr) const;

  // Builds the bit slices if they are missing and applies the moves that
  // assignments queued there, so that a range query can answer from them.
  // Takes the write lock: call it before a snapshot holds this map.
  void settle_queued_moves();
  // Applies the moves that assignments queued in the per-value sets of
  // numbers (see NumberSets::defer_move), for a reader about to hold this
  // map in a snapshot. Takes the write lock when there are any.
  void apply_number_moves();
  // Builds the string positions if they are missing, for a suffix or
  // substring query (likewise before a snapshot holds this map).
  void prepare_positions();
  // Adds the four sub-index locks to `snapshot`, in their lock order, so that
  // a query reads this attribute in one state however often it reads it.
  void hold_sub_indexes(ReadSnapshot& snapshot) const;

  // Replaces masked ids in `ids` by the objects that hold them.
  // Locks: `elements` (read, unless `snapshot` holds it).
  void unmask_ids(Bitmap& ids, const ReadSnapshot* snapshot = nullptr) const;
  // The same with the element table already held (null: no elements).
  static void unmask_in(const ElementTable* table, Bitmap& ids);
  // The holders, among the objects of this core, of the objects `children`
  // of the nested core, read under the element table's lock so that a
  // holder replacing its elements stays found.
  // Locks: `elements` (read), and under it the nested core's
  // parent_child_map (read); through `snapshot` where it holds them.
  Bitmap holders_of(IndexAPI& nested_core, const Bitmap& children,
                    const ReadSnapshot* snapshot = nullptr) const;

  // Whether any link was kept aside as a cycle (a hint read without a lock:
  // a link added concurrently is as if added after the query).
  bool has_cyclic_links() const { return cyclic_link_count_.load(std::memory_order_acquire) > 0; }
  // Calls each(holder, held) for every link kept aside as a cycle: `holder`
  // is an object of this core or a masked element id (unmask_ids maps it
  // back), `held` the record of the object it holds. each may read objects'
  // attribute stores (a leaf lock), nothing else.
  // Locks: cyclic_links (read) while it runs.
  template <class Each>
  void for_each_cyclic_link(Each&& each) const {
    auto links = cyclic_links.read();
    for (const auto& [holder, held] : *links) each(holder, *held.as_indexable().owned_handle);
  }

  // Takes the objects of `removed` (and their elements) out of every
  // sub-index; the nested core drops the objects held only by removed
  // holders. Other ids, including those added meanwhile, are untouched.
  // Locks: one at a time: `elements`, the exact map, str_radix_map,
  // num_ordered, bool_map, cyclic_links (all write); then the nested core's
  // parent_child_map (write) and, per object left without a holder, its
  // membership mutex and the nested core's locks (remove_object_locked).
  void remove_items(const Bitmap& removed);

  // While alive, marks the object `id` as one whose membership mutex this
  // thread holds. Taking an object out of a nested core takes out the
  // objects only it held, and through a cycle closed across nested cores
  // that cascade can come back to a marked object, whose mutex cannot be
  // taken again: its departure waits for leave_deferred().
  class MembershipHeld {
   public:
    explicit MembershipHeld(uint32_t id);
    ~MembershipHeld();
    MembershipHeld(const MembershipHeld&) = delete;
    MembershipHeld& operator=(const MembershipHeld&) = delete;
  };
  // Runs the departures that waited on this thread. Call with no membership
  // mutex held, after the write that marked its object.
  static void leave_deferred();

  // The nested core (null until an Indexable value is first entered).
  // Locks: a private mutex, a leaf.
  std::shared_ptr<IndexAPI> nested() const;
  std::shared_ptr<IndexAPI> parent() const { return parent_.lock(); }

  // Readers of one sub-index, for the query paths outside this class: each
  // runs fn(sub-index) under that sub-index's read lock and returns what fn
  // returns; the sub-index is null when nothing created it yet. A caller that
  // reads two nests the calls in the sub-index lock order (str_radix_map,
  // num_ordered, bool_map, elements).
  template <class Fn>
  auto read_strings(Fn&& fn) const {
    return fn(str_radix_map.read()->get());
  }
  // Numbers are read with the moves queued by assignments applied: under the
  // write lock when there are any. A `snapshot` that holds the read lock
  // keeps that write lock out: the sets then answer with the moves applied in
  // passing.
  template <class Fn>
  auto read_numbers(Fn&& fn, const ReadSnapshot* snapshot = nullptr) const {
    {
      auto guard = num_ordered.read(snapshot);
      if (!*guard || !(*guard)->values.has_pending_moves() || guard.borrowed()) {
        return fn(guard->get());
      }
    }
    auto guard = num_ordered.write();
    if (*guard) (*guard)->values.apply_moves();
    return fn(static_cast<const NumberIndex*>(guard->get()));
  }
  template <class Fn>
  auto read_booleans(Fn&& fn) const {
    return fn(bool_map.read()->get());
  }
  template <class Fn>
  auto read_elements(Fn&& fn) const {
    return fn(elements.read()->get());
  }
  // The same without waiting: false when the lock is busy, else what fn
  // (which returns bool) returns.
  template <class Fn>
  bool try_read_strings(Fn&& fn) const {
    return try_read(str_radix_map, fn);
  }
  template <class Fn>
  bool try_read_numbers(Fn&& fn) const {
    {
      auto guard = num_ordered.try_read();
      if (!guard) return false;
      if (!**guard || !(**guard)->values.has_pending_moves()) return fn((*guard)->get());
    }
    auto guard = num_ordered.try_write();
    if (!guard) return false;
    if (**guard) (**guard)->values.apply_moves();
    return fn(static_cast<const NumberIndex*>((*guard)->get()));
  }
  template <class Fn>
  bool try_read_elements(Fn&& fn) const {
    return try_read(elements, fn);
  }
  // Runs fn(const ExactMap*) under the exact-value map's read lock.
  template <class Fn>
  auto read_exact(Fn&& fn) const {
    return fn(exact.read()->get());
  }

 private:
  // The bulk adder and remover write the sub-indexes directly, holding their
  // write locks for a whole batch.
  friend class SubIndexWriteLocks;
  friend class BulkQueryMapAdder;
  friend class BulkQueryMapRemover;

  template <class Sub, class Fn>
  static bool try_read(const PoisonRwLock<std::unique_ptr<Sub>>& lock, Fn& fn) {
    auto guard = lock.try_read();
    if (!guard) return false;
    return fn((*guard)->get());
  }

  // The phases of remove_items, in the order it runs them.
  // Unmaps the elements owned (at any depth) by the objects of `removed`,
  // appending their masked ids to `freed`; returns `removed` with those ids.
  // Locks: `elements` (write).
  Bitmap unmap_elements_of(const Bitmap& removed, std::vector<uint32_t>& freed);
  // Takes the ids of `dropped` out of the per-value sets and whatever
  // structures are built from them. Locks, one at a time (write): the exact
  // map, str_radix_map, num_ordered, bool_map.
  void drop_from_values(const Bitmap& dropped);
  // Forgets the cyclic links held by the ids of `dropped`. Locks:
  // cyclic_links (write).
  void drop_cyclic_links(const Bitmap& dropped);
  // Unlinks the nested objects held by the ids of `dropped`; those left
  // without a holder leave the nested core. Locks: see remove_items.
  void release_nested_of(const Bitmap& dropped);

  // Entry points the bulk adder shares with the single path.
  void insert_exact(const PyValue& value, uint32_t id);
  // Allocates masked ids for `elements` of the iterable held by `owner` and
  // records them in `table`. Returns the entries to index.
  static std::vector<ElementEntry> hand_out_elements(ElementTable& table, uint32_t owner,
                                                     const PyIterable& iterable);
  // Runs answer(string index, text of `pattern`) under the string index's
  // read lock and maps element ids back to their holders; nothing when
  // `pattern` is not a string.
  template <class Answer>
  Bitmap string_query(const PyValue& pattern, const ReadSnapshot* snapshot, Answer&& answer) const;
  // The ids of `base` (and of its elements' masked ids) whose number lies
  // between the bounds, a null bound open (but still leaving NaN out), under
  // the caller's lock of `numbers`: from the distinct values when
  // `walk_values` and few fall in the range (any number of them with
  // `walk_all`), else from the slices when they are ready; nullopt when
  // neither may answer.
  std::optional<Bitmap> range_in(const NumberIndex& numbers, const KeyBound<OrderKey>* lower,
                                 const KeyBound<OrderKey>* upper, const Bitmap& base,
                                 bool walk_values, bool slices_ready, bool walk_all,
                                 const ReadSnapshot* snapshot) const;
  void insert_indexable(const PyValue& value, uint32_t holder);
  void unlink_indexable(const PyValue& value, uint32_t holder);
  // Drops the cyclic link of `holder` if it leads to `child`.
  void forget_cyclic_link(uint32_t holder, uint32_t child);
  // Under the child's membership mutex: drops the pair (holder, child) when a
  // holder is given, and takes the child out of `core` when no holder is left.
  // When this thread holds that mutex already (see MembershipHeld), the pair
  // goes at once and the child's departure waits for leave_deferred().
  static void leave_if_unheld(IndexAPI& core, const IndexableRecord& child,
                              std::optional<uint32_t> holder);
  void insert_iterable(const PyValue& value, uint32_t owner);
  // Takes out the elements of `owner`; with `entered_with`, only while they
  // are that snapshot's.
  void remove_iterable(uint32_t owner, const std::vector<PyValue>* entered_with = nullptr);
  // Unmaps `entries` (those still handed out), removes their values and
  // frees their ids.
  void retire_elements(std::vector<ElementEntry>& entries);
  void remove_exact(const PyValue& value, uint32_t id);
  std::shared_ptr<IndexAPI> nested_or_create();
  // Whether `child` is `holder` or an object above it in the nesting chain.
  bool holds_through_chain(uint32_t holder, uint32_t child) const;

  // Sub-indexes. Mutable: a query that needs a structure built on demand
  // builds it, and one that needs the bit slices first applies the moves
  // that assignments queued there.
  mutable PoisonRwLock<std::unique_ptr<StringIndex>> str_radix_map;
  mutable PoisonRwLock<std::unique_ptr<NumberIndex>> num_ordered;
  PoisonRwLock<std::unique_ptr<BoolMap>> bool_map;
  PoisonRwLock<std::unique_ptr<ElementTable>> elements;
  PoisonRwLock<std::unique_ptr<ExactMap>> exact;
  // Links not nested because the held object holds its holder, directly or
  // further up: holder id (an object or a masked element id) -> held object
  // (an Ind value). Dotted queries follow them by reading the held object's
  // attributes.
  PoisonRwLock<std::unordered_map<uint32_t, PyValue>> cyclic_links;

  std::weak_ptr<IndexAPI> parent_;
  std::atomic<size_t> cyclic_link_count_{0};  // size of `cyclic_links`, written under its lock
  mutable std::mutex nested_mutex_;
  std::shared_ptr<IndexAPI> nested_;
};

// True when `value` is an Indexable or holds one at any depth.
bool holds_indexable(const PyValue& value);

}  // namespace vantorel
