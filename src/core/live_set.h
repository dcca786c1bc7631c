// LiveSet: the members of a live result: at every moment, the objects of one
// core that match an expression.
//
// Most changes do not update the members where they are made. The core
// notes each object whose membership may have changed (an add, a removal, an
// assignment to an attribute that a live result reads) in a queue of the
// thread that made the change (note_live_change). That thread settles the
// noted objects (settle_live_changes) once the change is whole (the
// assignment stored, the add or removal done) and the change's native locks
// are let go: each object is matched afresh against each live result of its
// core, reading its values from its attribute store by the rules of
// compare.h, as the index holds them (direct_match.h), and a change of
// membership is queued as a notification on the same thread, for the Python
// layer to deliver. The exception is an assignment to the one name that a
// live result reads: the assignment's own path matches the new value and
// settles the object at once (settle_assigned), with no store to read.
//
// An object is settled under its membership mutex, which also serialises its
// adds, removals and assignments, and reads its state as it is then: when two
// threads change one object, the one that settles last reads the last state,
// so the members always end up agreeing with the index.
//
// An assignment to an object that a dotted name reaches (held in a nested
// core, or through a link kept aside as a cycle) can change the membership of
// any object above it: the live results of the outermost core that read the
// assigned name through a dotted name evaluate their expression again
// (requery), once per settling, and take the answer. A requery does not undo
// what is newer than its evaluation: an object settled after it began keeps
// its settled membership, an older requery is dropped once a newer one has
// been taken, and a settle matches again when a requery was taken while it
// matched.
//
// Lock order: a core's list of live results and a live result's members are
// the last leaves (index.h), in that order: an assignment settles under the
// list's lock; nothing else is taken under either.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/query/query_ops.h"
#include "native/structures/roaring/bitmap.h"
#include "native/sync/poison_lock.h"
#include "values/stored_item.h"

namespace vantorel {

class CompiledExpr;
class IndexAPI;

namespace live_detail {
// Per slot of attribute ids (id modulo the table's size), how many open live
// results read a name of that slot.
inline constexpr size_t kWatchSlots = 1024;
extern std::array<std::atomic<uint32_t>, kWatchSlots> watch_counts;
}  // namespace live_detail

// Whether some open live result may read `attribute` (an interned name id):
// one relaxed load, no lock. Attributes that share a slot answer alike, so
// true only means "maybe". A live result counts its names before it first
// evaluates its expression, and an assignment asks after it has updated the
// value indexes: an assignment that the evaluation missed is always seen here.
inline bool live_attribute_watched(uint32_t attribute) {
  return live_detail::watch_counts[attribute % live_detail::kWatchSlots].load(
             std::memory_order_relaxed) != 0;
}

class LiveSet : public std::enable_shared_from_this<LiveSet> {
 public:
  // A live result of `core` over `expr` (a valid expression): no members,
  // and not registered with the core, until start().
  LiveSet(std::shared_ptr<IndexAPI> core, QueryExprPtr expr);
  ~LiveSet();
  LiveSet(const LiveSet&) = delete;
  LiveSet& operator=(const LiveSet&) = delete;

  // Registers with the core, takes the expression's answer as the members,
  // and settles (without notifications) the objects noted meanwhile.
  // Locks: the core's list of live results; then the locks of a query; then
  // the members; then, per object noted meanwhile, as settle.
  void start();
  // Unregisters from the core and empties the members; idempotent.
  // Locks: the members, then the core's list of live results.
  void close();
  bool closed() const;

  // The core (null once it is gone).
  std::shared_ptr<IndexAPI> core() const { return core_.lock(); }
  // Whether a path of the expression begins with the name `attribute`.
  bool reads(uint32_t attribute) const;
  // Whether a path of the expression is dotted.
  bool reads_nested() const { return reads_nested_; }
  // Whether a name of any path of the expression is `attribute`.
  bool reads_anywhere(uint32_t attribute) const;
  // Whether every path of the expression is the plain name `attribute`.
  bool reads_only(uint32_t attribute) const {
    return !reads_nested_ && heads_.size() == 1 && heads_.front() == attribute;
  }

  // The members now. Locks: the members.
  Bitmap members() const;
  uint64_t count() const;
  bool contains(uint32_t id) const;

  // Matches `item` afresh (when `in_core`; otherwise it is no member) and
  // updates the members; with `notify`, a change is queued as a
  // notification on this thread.
  // REQUIRES: the object's membership mutex, `in_core` read under it.
  // Locks: the attribute mutexes of the objects the expression's paths
  // reach, one at a time; then the members.
  void settle(const StoredItem& item, bool in_core, bool notify = true);
  // What settle_assigned() did to the members.
  enum class Assigned : uint8_t {
    kUnchanged,  // also when closed
    kEntered,
    kLeft,
    kNotStarted,  // start() has not yet taken the first answer
  };
  // settle() for an assignment of `value` to the object `id`, for a live
  // result that reads_only() the assigned name: matched against the value
  // itself, before it is stored, so that the assignment's own path settles
  // the object without reading its store or its item; when `old_value` (the
  // value replaced, if any) matches alike, without taking the members'
  // lock. The caller queues the notification of a change. Before start(),
  // the object is kept for start() to settle when `item` (its item) is
  // given, else nothing is done.
  // REQUIRES: the object's membership mutex, the object in the core.
  // Locks: the members.
  Assigned settle_assigned(uint32_t id, const PyValue& value, const PyValue* old_value,
                           const StoredItem* item = nullptr);
  // Evaluates the expression again and takes the answer (see above),
  // queueing a notification per change.
  // Locks: the members; then the locks of a query; then `items` (read); then
  // the members.
  void requery();
  // The Python object that delivers this set's notifications. Read and
  // written only with the interpreter lock held.
  void* listener = nullptr;

 private:
  struct Members {
    Bitmap ids;
    bool started = false;
    bool closed = false;
    // Objects noted before start() took the first answer.
    std::vector<StoredItem> early;
    // Settles so far, and requeries begun, running and taken.
    uint64_t settles = 0;
    uint64_t requeries_begun = 0;
    uint64_t newest_taken = 0;  // the number of the newest requery taken
    uint64_t requeries_taken = 0;
    uint32_t requeries_running = 0;
    // While requeries run: the objects settled, by the number of their
    // settle.
    std::unordered_map<uint32_t, uint64_t> settled_at;

    // Makes `id` a member or not; returns whether that changed the members.
    bool set(uint32_t id, bool member) {
      if (ids.contains(id) == member) return false;
      if (member) {
        ids.add(id);
      } else {
        ids.remove(id);
      }
      return true;
    }
    // set() for a settle, counted as one.
    bool settle(uint32_t id, bool member) {
      ++settles;
      if (requeries_running > 0) settled_at[id] = settles;
      return set(id, member);
    }
  };

  std::weak_ptr<IndexAPI> core_;
  QueryExprPtr expr_;
  std::unique_ptr<const CompiledExpr> compiled_;
  std::vector<uint32_t> heads_;  // the first names of the paths, sorted
  std::vector<uint32_t> names_;  // every name of the paths (counted in watch_counts)
  bool reads_nested_ = false;
  PoisonMutex<Members> members_;
};

// A change of membership, for the Python layer to deliver.
struct LiveNotification {
  std::shared_ptr<LiveSet> set;
  StoredItem item;
  bool entered;
};

// Notes, on the calling thread, that `item` (an object of `core`, or one
// that just left it) may have changed membership in the core's live
// results: all of them, or with `attribute` those that read it.
void note_live_change(std::shared_ptr<IndexAPI> core, StoredItem item,
                      std::optional<uint32_t> attribute);
// Settles every change noted on this thread (see LiveSet::settle).
// Runs without the interpreter lock (or in a py::NativeScope).
// Locks: per change, the object's membership mutex, and under it the core's
// live ids (read), the core's list of live results, and as settle.
void settle_live_changes();
// The oldest notification queued on this thread, taken off the queue.
std::optional<LiveNotification> next_live_notification();
// Queues a notification on this thread.
void queue_live_notification(LiveNotification notification);

}  // namespace vantorel
