#include "core/bulk/bulk_writers.h"

#include "core/bulk/bulk_adder.h"
#include "core/bulk/bulk_remover.h"
#include "native/common/thread_limit.h"

namespace vantorel {

namespace {

// Values per task handed to a helper.
constexpr size_t kTaskValues = 256;
// The most values left waiting (queued, or in tasks not started): beyond,
// the caller applies them, which bounds the memory they hold when the
// helpers fall behind, or when there are none.
constexpr size_t kMaxWaitingValues = 65536;
constexpr size_t kMaxWaitingTasks = kMaxWaitingValues / kTaskValues;
// Below this many values at release, with no helper started yet, starting
// one costs more than it saves.
constexpr size_t kParallelFrom = 4096;

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
  Values& values = pending_[attribute];
  // Once tasks are handed over, each new task starts with room for all its
  // values, so that they are not moved as it grows.
  if (values.capacity() == 0 && parallel_) values.reserve(kTaskValues);
  values.emplace_back(id, std::move(value));
  ++queued_;
  if (!helpers_allowed_) {
    if (++waiting_ >= kMaxWaitingValues) apply_on_caller();
    return;
  }
  if (values.size() < kTaskValues) return;
  hand_over(attribute);
  if (lanes_.queued() > kMaxWaitingTasks) lanes_.finish();
}

template <class Writer>
PoisonMutex<MembershipList>::Guard BulkWriters<Writer>::lock_membership(
    const IndexableRecord& record) {
  if (auto memberships = record.indexes().try_lock()) return std::move(*memberships);
  release();
  PoisonMutex<MembershipList>::Guard memberships = record.indexes().lock();
  acquire();
  return memberships;
}

// Makes the waiting values of `attribute` a task.
template <class Writer>
void BulkWriters<Writer>::hand_over(size_t attribute) {
  parallel_ = true;
  auto values = std::make_shared<Values>(std::exchange(pending_[attribute], Values()));
  Writer* writer = writers_[attribute].get();
  lanes_.submit(attribute, [writer, values] { writer->apply(*values); });
}

// Applies every waiting value on the calling thread, attribute by attribute.
template <class Writer>
void BulkWriters<Writer>::apply_on_caller() {
  for (size_t attribute = 0; attribute < writers_.size(); ++attribute) {
    if (!pending_[attribute].empty()) writers_[attribute]->apply(pending_[attribute]);
    pending_[attribute].clear();
  }
  waiting_ = 0;
}

// Applies the waiting values and drops each writer after its values: on the
// caller alone for a small batch (or when no helper is allowed, or when
// nothing was queued), otherwise as tasks.
template <class Writer>
void BulkWriters<Writer>::apply_and_drop() {
  if (!helpers_allowed_ || (!parallel_ && queued_ < kParallelFrom) || queued_ == 0) {
    apply_on_caller();
  } else {
    for (size_t attribute = 0; attribute < writers_.size(); ++attribute) {
      if (!writers_[attribute]) continue;
      if (!pending_[attribute].empty()) hand_over(attribute);
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
