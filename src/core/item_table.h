// ItemTable: the stored object of every item id of one core, by id.
//
// A slot is vacant or holds one object. Results made from a core (views)
// keep item ids, not objects, and read the slots whenever they answer. An
// object that leaves the core after a view was made must not be reported
// through that view, even once its slot holds an object again (the same
// object added back, or another object that was given the freed id). So the
// table counts departures, every slot remembers the count at which it was
// last filled, and a view remembers the count from before it was evaluated:
// a slot answers for the view only when it was filled no later than that.
//
// The table is a vector of slots so that the paths that only read and store
// slots index it directly; filling a vacant slot and vacating one go through
// `put` and `vacate`, which keep the counts. No lock of its own: the core's
// reader-writer lock guards it.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "native/common/prefetch.h"
#include "native/structures/roaring/bitmap.h"
#include "values/stored_item.h"

namespace vantorel {

class ItemTable : public std::vector<StoredItem> {
 public:
  // Stores `item` in slot `id`, growing the table to at least `min_size`
  // slots when `id` is past its end; returns what the slot held. A slot that
  // already holds the object keeps its fill count.
  StoredItem put(uint32_t id, const StoredItem& item, size_t min_size);
  // Empties slot `id` (if it exists) and counts a departure; returns what it held.
  StoredItem vacate(uint32_t id);

  // The number of departures so far: what a view made now remembers.
  uint64_t departures() const { return departures_; }
  // Asks the processor for slot `id` ahead of a vacate() or a read of it.
  void prefetch(uint32_t id) const {
    if (id < size()) prefetch_line(data() + id);
  }
  // Whether slot `id` holds an object.
  bool holds(uint32_t id) const { return id < size() && !(*this)[id].vacant(); }
  // Whether slot `id` holds an object that a view made at `epoch` reports.
  bool answers(uint32_t id, uint64_t epoch) const;
  // Calls each(item) for every id of `ids` (a Bitmap, or a range of ids), in
  // their order, whose slot holds an object (with an `epoch`: one that a view
  // made at `epoch` reports). The one walk from ids to the objects they name.
  template <class Ids, class Each>
  void for_each_at(const Ids& ids, std::optional<uint64_t> epoch, Each&& each) const {
    if (epoch) {
      for_each_id(ids, [&](uint32_t id) {
        if (answers(id, *epoch)) each((*this)[id]);
      });
    } else {
      for_each_id(ids, [&](uint32_t id) {
        if (holds(id)) each((*this)[id]);
      });
    }
  }
  // The ids of `ids` that a view made at `epoch` reports; `ids` are ids that
  // were live in the core when the view was evaluated. Costs nothing when
  // no object has left since `epoch`.
  Bitmap present(const Bitmap& ids, uint64_t epoch) const;
  // How many ids `present` would return, without building them.
  uint64_t count_present(const Bitmap& ids, uint64_t epoch) const;

 private:
  template <class Ids, class Visit>
  static void for_each_id(const Ids& ids, Visit&& visit) {
    if constexpr (std::is_same_v<Ids, Bitmap>) {
      ids.for_each(visit);
    } else {
      for (uint32_t id : ids) visit(id);
    }
  }

  std::vector<uint64_t> filled_at_;  // by id; missing entries count as 0
  uint64_t departures_ = 0;
};

}  // namespace vantorel
