// BulkWriters: the bulk writers (BulkQueryMapAdder or BulkQueryMapRemover)
// of every QueryMap of a core, for one bulk add or batch removal.
//
// Locking. While acquired, it holds the core's `index` for reading and,
// through the writers, the sub-index write locks of every map, taken in
// ascending attribute order, so two bulk writers never wait on each other
// in a cycle. A removal's writers also hold the core's live ids for writing
// (between `index` and the maps) and its item table for writing (after
// them). Made acquired; release() lets everything go, acquire() takes it
// again. Whoever wants a lock against this order (an object's membership
// mutex, a new map under `index` written) goes through lock_membership()
// or ensure_writer(), which let everything go while they wait.
//
// Threads. Values wait per attribute and are applied, attribute by
// attribute, by the writers. With no helper allowed (thread_limit.h), the
// calling thread applies them when too many wait and when the writers are
// released. Otherwise every 256 values of one attribute become a task on the
// attribute's lane (TaskLanes: its writer is not shared) that a helper
// applies while the caller goes on queueing; at release the rest is applied
// and each writer dropped (which flushes an adder's buffers), one attribute
// per task, by the caller and the helpers, which are then joined. The
// writers of two attributes share nothing but leaf locks (the id
// allocator's, the exact-value maps). The helpers start with the
// first task: a batch that fills none, and has too few values to be worth
// a helper, runs on the caller.
//
// Used by one thread (the caller); not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/index.h"
#include "native/common/lanes.h"
#include "native/sync/poison_lock.h"
#include "values/value.h"

namespace vantorel {

template <class Writer>
class BulkWriters {
 public:
  using Values = std::vector<std::pair<uint32_t, PyValue>>;

  // `live` and `items` are null for a bulk add.
  BulkWriters(PoisonRwLock<IndexAPI::MapArray>& maps, PoisonRwLock<Bitmap>* live,
              PoisonRwLock<ItemTable>* items);
  BulkWriters(const BulkWriters&) = delete;
  BulkWriters& operator=(const BulkWriters&) = delete;
  // Applies the waiting values, as release() does. Left by an exception, it
  // drops them instead: the writers' guards then let go while the thread
  // unwinds, which poisons every map they hold.
  ~BulkWriters();

  void acquire();
  // Applies every waiting value, drops every writer and lets every lock go.
  void release();

  // Whether `attribute` has a writer (the core has a map for it).
  bool has_writer(uint32_t attribute) const {
    return attribute < writers_.size() && writers_[attribute] != nullptr;
  }
  // Makes sure `attribute` has a writer. When the core has no map for it
  // yet, every lock is let go (after the waiting values are applied) while
  // `create()` makes one (under the core's `index` write lock), and taken
  // again.
  template <class Create>
  void ensure_writer(uint32_t attribute, Create&& create) {
    if (has_writer(attribute)) return;
    release();
    create();
    acquire();
  }

  // Queues `value` for `id` under `attribute`, which has a writer.
  void enqueue(uint32_t attribute, uint32_t id, PyValue&& value);

  // The live ids and the item table, write-locked (removals only).
  Bitmap& live() { return **live_; }
  ItemTable& items() { return **items_; }

  // The membership mutex of `record`. An assignment holds that mutex while
  // it waits for the sub-index locks held here, so it is only tried; when it
  // is busy, every lock is let go while it is waited for, and taken again.
  PoisonMutex<MembershipList>::Guard lock_membership(const IndexableRecord& record);

 private:
  void hand_over(size_t attribute);
  void apply_on_caller();
  void apply_and_drop();

  PoisonRwLock<IndexAPI::MapArray>& maps_lock_;
  PoisonRwLock<Bitmap>* live_lock_;
  PoisonRwLock<ItemTable>* items_lock_;
  PoisonRwLock<IndexAPI::MapArray>::ReadGuard maps_;          // empty while released
  std::optional<PoisonRwLock<Bitmap>::WriteGuard> live_;      // likewise; removals only
  std::optional<PoisonRwLock<ItemTable>::WriteGuard> items_;  // likewise
  std::vector<std::unique_ptr<Writer>> writers_;
  std::vector<Values> pending_;  // by attribute: values not yet applied nor handed over
  size_t queued_ = 0;            // values queued since the writers were made
  size_t waiting_ = 0;           // values queued and not yet applied (no helpers)
  const bool helpers_allowed_;
  bool parallel_ = false;  // values go to the lanes as tasks
  detail::UnwindWatch watch_;
  // Declared last: destroyed first, it waits for the tasks that use the
  // writers above and joins the helpers.
  TaskLanes lanes_;
};

class BulkQueryMapAdder;
class BulkQueryMapRemover;
extern template class BulkWriters<BulkQueryMapAdder>;
extern template class BulkWriters<BulkQueryMapRemover>;

}  // namespace vantorel
