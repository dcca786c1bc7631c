#include "index/core/bulk_writers.h"

#include <algorithm>

#include "common/thread_limit.h"
#include "index/core/query/bulk_remover.h"
#include "index/core/query/delayed_query.h"

namespace vantorel {

namespace {

// Values per task handed to a helper, and in an attribute's first task once
// the helpers run.
constexpr size_t kTaskValues = 256;
constexpr size_t kFirstTaskValues = 64;
// The most values left waiting (queued, or in tasks not started): beyond,
// the caller applies them, which bounds the memory they hold when the
// helpers fall behind, or when there are none.
constexpr size_t kMaxWaitingValues = 65536;
constexpr size_t kMaxWaitingTasks = kMaxWaitingValues / kTaskValues;
// Below this many values at release, with no helper started yet, starting
// one costs more than it saves.
constexpr size_t kParallelFrom = 4096;

// The work that `value` stands for: one unit, and one per element of an
// iterable.
size_t work_of(const PyValue& value) {
  return value.kind() == ValueKind::Iterable ? 1 + value.as_iterable().elements->size() : 1;
}

}  // namespace

template <class Writer>
BulkWriters<Writer>::BulkWriters(PoisonRwLock<IndexAPI::MapArray>& maps, PoisonRwLock<Bitmap>* live,
                                 PoisonRwLock<ItemTable>* items)
    : maps_lock_(maps),
      live_lock_(live),
      items_lock_(items),
      helpers_allowed_(helper_limit() > 0),
      lanes_(helper_limit()) {
  acquire();
}

template <class Writer>
BulkWriters<Writer>::~BulkWriters() {
  if (!watch_.unwinding()) apply_and_drop();
}

template <class Writer>
void BulkWriters<Writer>::acquire() {
  maps_ = maps_lock_.read();
  if (live_lock_ != nullptr) live_.emplace(live_lock_->write());
  writers_.clear();
  writers_.resize(maps_->size());
  if (pending_.size() < maps_->size()) pending_.resize(maps_->size());
  for (size_t i = 0; i < maps_->size(); ++i) {
    if ((*maps_)[i]) writers_[i] = std::make_unique<Writer>(*(*maps_)[i]);
  }
  if (items_lock_ != nullptr) items_.emplace(items_lock_->write());
}

template <class Writer>
void BulkWriters<Writer>::release() {
  items_.reset();
  apply_and_drop();
  live_.reset();
  maps_.release();
}

template <class Writer>
void BulkWriters<Writer>::enqueue(uint32_t attribute, uint32_t id, PyValue&& value) {
  Pending& pending = pending_[attribute];
  // Once tasks are handed over, each new task starts with room for all its
  // values, so that they are not moved as it grows.
  if (pending.values.capacity() == 0 && parallel_) pending.values.reserve(kTaskValues);
  // Counted now, while the value is in the cache: by the hand-over it may
  // not be.
  pending.work += work_of(value);
  pending.values.emplace_back(id, std::move(value));
  ++queued_;
  if (!helpers_allowed_) {
    if (++waiting_ >= kMaxWaitingValues) apply_on_caller();
    return;
  }
  if (pending.values.size() < task_size(pending)) return;
  hand_over(attribute);
  if (lanes_.queued() > kMaxWaitingTasks) lanes_.finish();
}

template <class Writer>
void BulkWriters<Writer>::expect(size_t objects) {
  if (!helpers_allowed_ || objects < kTaskValues) return;
  parallel_ = true;
  lanes_.start();
}

template <class Writer>
PoisonMutex<MembershipList>::Guard BulkWriters<Writer>::lock_membership(
    const IndexableRecord& record) {
  if (auto memberships = record.indexes->try_lock()) return std::move(*memberships);
  release();
  PoisonMutex<MembershipList>::Guard memberships = record.indexes->lock();
  acquire();
  return memberships;
}

template <class Writer>
size_t BulkWriters<Writer>::task_size(const Pending& pending) const {
  return parallel_ && !pending.handed_over ? kFirstTaskValues : kTaskValues;
}

// Makes the waiting values of `attribute` a task.
template <class Writer>
void BulkWriters<Writer>::hand_over(size_t attribute) {
  Pending& pending = pending_[attribute];
  pending.handed_over = true;
  parallel_ = true;
  auto values = std::make_shared<Values>(std::exchange(pending.values, Values()));
  Writer* writer = writers_[attribute].get();
  lanes_.submit(
      attribute, [writer, values] { writer->apply(*values); }, std::exchange(pending.work, 0));
}

// Applies every waiting value on the calling thread, attribute by attribute.
template <class Writer>
void BulkWriters<Writer>::apply_on_caller() {
  for (size_t attribute = 0; attribute < writers_.size(); ++attribute) {
    Pending& pending = pending_[attribute];
    if (!pending.values.empty()) writers_[attribute]->apply(pending.values);
    pending.values.clear();
    pending.work = 0;
  }
  waiting_ = 0;
}

// Applies the waiting values and drops each writer after its values: on the
// caller alone for a small batch (or when no helper is allowed, or when
// nothing was queued), otherwise as tasks, the attributes with the most work
// first (so that the longest lane does not start last).
template <class Writer>
void BulkWriters<Writer>::apply_and_drop() {
  if (!helpers_allowed_ || (!parallel_ && queued_ < kParallelFrom) || queued_ == 0) {
    apply_on_caller();
  } else {
    std::vector<std::pair<size_t, size_t>> order;  // (work, attribute)
    for (size_t attribute = 0; attribute < writers_.size(); ++attribute) {
      if (writers_[attribute]) order.emplace_back(pending_[attribute].work, attribute);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [work, attribute] : order) {
      if (!pending_[attribute].values.empty()) hand_over(attribute);
      lanes_.submit(attribute, [this, attribute] { writers_[attribute].reset(); });
    }
    lanes_.finish();
  }
  queued_ = 0;
  writers_.clear();
}

template class BulkWriters<BulkQueryMapAdder>;
template class BulkWriters<BulkQueryMapRemover>;

}  // namespace vantorel
