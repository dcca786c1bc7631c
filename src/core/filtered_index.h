// FilteredIndex: a set of objects of one core, as the Python classes see it.
//
// Either every live object of the core, read afresh by each call (the set of
// an Index), or a fixed set of ids that a query evaluated (a query result).
// A fixed set remembers the item table's departure count from before its
// evaluation (see ItemTable): an object that left the core after it is not
// reported, even once its slot is filled again. The set holds its core, so
// the core's tables (and the memberships that keep them current) outlive the
// Index they came from.
//
// A fixed set only ever loses objects, and count(), items() and the sums of
// value_counts() agree at every moment: its epoch is read under the same
// lock of the live ids as its evaluation, and every removal leaves the live
// ids and counts its departure in one step, before its values leave the
// value indexes (IndexAPI::depart).
//
// Every method takes the core's locks itself and waits for them; the caller
// runs it in a py::NativeScope (or, for read_items, tries first).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/index.h"
#include "core/query/facets.h"
#include "py/ref.h"

namespace vantorel {

class FilteredIndex {
 public:
  // Every live object of `core`.
  explicit FilteredIndex(std::shared_ptr<IndexAPI> core) : core_(std::move(core)) {}
  // The objects `ids` of `core`, evaluated after `epoch` departures.
  FilteredIndex(std::shared_ptr<IndexAPI> core, Bitmap ids, uint64_t epoch)
      : core_(std::move(core)), ids_(std::move(ids)), epoch_(epoch) {}

  // The evaluated ids of a fixed set (null for the live set): a superset of
  // what it reports.
  const Bitmap* fixed_ids() const { return ids_ ? &*ids_ : nullptr; }

  // The objects of this set that match every expression of `exprs`, or
  // `expr`, as a fixed set.
  FilteredIndex reduced(const std::vector<QueryExpr>& exprs) const;
  FilteredIndex reduced_query(const QueryExpr& expr) const;

  // The number of objects reported now.
  uint64_t count() const;
  // The objects reported now, in ascending id order.
  std::vector<StoredItem> items() const;
  // The (value, count) pairs of `attr` over the objects reported now (see
  // value_counts in facets.h).
  std::vector<Facet> value_counts(std::string_view attr, std::optional<size_t> limit) const;
  // The objects whose plain attribute `attr` is a number or a string,
  // ordered by it (see value_order.h): walking the value index, or sorting
  // the objects' own values when the set is small next to its distinct
  // values, whichever costs less.
  std::vector<py::SharedRef> sorted_by(std::string_view attr, bool descending,
                                       std::optional<size_t> limit) const;

  // Whether this set reports `object`, the Python object whose item id is
  // `id`: for the live set, whether the id is live; for a fixed set, whether
  // the id is one of its ids and its slot holds that very object, as count()
  // reads the slots.
  // Locks: `allowed_items` (read) for the live set, `items` (read) for a
  // fixed one.
  bool reports(uint32_t id, const PyObject* object) const;

  // The core's item table read-locked, reporting what this set reports;
  // try_read_items() gives nullopt instead of waiting.
  HeldItems read_items() const { return core_->read_items(epoch()); }
  std::optional<HeldItems> try_read_items() const { return core_->try_read_items(epoch()); }

 private:
  // Runs fn(value indexes, ids reported now, the core's live ids) with the
  // core's value indexes and live ids read-locked, so that no object leaves
  // meanwhile and every object reported holds its values in the value
  // indexes; returns what fn returns.
  // Locks: the core's `index` and `allowed_items` (read), and `items` (read)
  // under them for a fixed set's ids.
  template <class Fn>
  auto read_reported(Fn&& fn) const {
    return core_->read_live([&](const IndexAPI::MapArray& maps, const Bitmap& live) {
      if (!ids_) return fn(maps, live, live);
      return fn(maps, core_->present(*ids_, epoch_), live);
    });
  }
  // The ids of `reported` (in a core of `live` objects) ordered by `attr` as
  // sorted_by orders them: from the value index or, when that is expected
  // to cost more or turns out to, from the objects' own values.
  std::vector<uint32_t> ordered_ids(const IndexAPI::MapArray& maps, const Bitmap& reported,
                                    uint64_t live, std::string_view attr, bool descending,
                                    std::optional<size_t> limit) const;
  // The ids of `reported` ordered as sorted_by orders them, from the
  // values read from each object's attribute store.
  // Locks: the core's `items` (read), and under it each object's attribute
  // mutex in turn.
  std::vector<uint32_t> sorted_by_stored_value(std::string_view attr, const Bitmap& reported,
                                               bool descending, std::optional<size_t> limit) const;
  std::optional<uint64_t> epoch() const {
    return ids_ ? std::optional<uint64_t>(epoch_) : std::nullopt;
  }

  std::shared_ptr<IndexAPI> core_;
  std::optional<Bitmap> ids_;
  uint64_t epoch_ = 0;
};

}  // namespace vantorel
