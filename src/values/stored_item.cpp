#include "values/stored_item.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "native/common/prefetch.h"
#include "native/structures/id_alloc/id_alloc.h"

namespace vantorel {

RecordState::RecordState(AttributeStore store)
    : indexes(LockRank{LockLevel::kMembership}),
      attributes(LockRank{LockLevel::kAttributes}, std::move(store)) {}

// A seqlock read: the version is even and unchanged around the copy. The
// entries' extent is taken first and checked on its own, so that the scan
// stays inside one block (a block left by a growth is not freed meanwhile).
AttributeLock::Peek AttributeLock::peek(uint32_t attribute, PeekedValue* out) const {
  const uint32_t before = version_.load(std::memory_order_acquire);
  if ((before & 1) != 0 || poisoned()) return Peek::kBusy;
  const AttributeStore::View entries = value_.view();
  std::atomic_thread_fence(std::memory_order_acquire);
  if (version_.load(std::memory_order_relaxed) != before) return Peek::kBusy;
  Peek found = Peek::kAbsent;
  for (size_t i = 0; i < entries.size; ++i) {
    if (entries.keys[i] == attribute) {
      std::memcpy(out->bytes, static_cast<const void*>(entries.values + i), sizeof(PyValue));
      found = Peek::kStored;
      break;
    }
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  return version_.load(std::memory_order_relaxed) == before ? found : Peek::kBusy;
}

AttributeLock::NativeWrite::NativeWrite(AttributeLock& lock) : lock_(lock) {
  lock_.version_.fetch_add(1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
}

AttributeLock::NativeWrite::~NativeWrite() {
  lock_.version_.fetch_add(1, std::memory_order_release);
}

IndexableRecord IndexableRecord::make_owned(AttributeStore attributes) {
  IndexableRecord record;
  record.state = std::make_shared<RecordState>(std::move(attributes));
  record.id = allocate_id();
  record.owns_id = true;
  return record;
}

IndexableRecord::IndexableRecord(IndexableRecord&& other) noexcept
    : state(std::move(other.state)), id(other.id), owns_id(std::exchange(other.owns_id, false)) {}

void IndexableRecord::prefetch() const {
  const char* block = reinterpret_cast<const char*>(state.get());
  if (block == nullptr) return;
  for (size_t offset = 0; offset < sizeof(RecordState); offset += kCacheLine) {
    prefetch_line(block + offset);
  }
}

void release_items(std::vector<StoredItem>& items) {
  // First the block that holds an item's handles, then (once it has come
  // in) the state and the object it points to.
  constexpr size_t kHandlesAhead = 16;
  constexpr size_t kTargetsAhead = 8;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i + kHandlesAhead < items.size() && items[i + kHandlesAhead].record) {
      prefetch_line(items[i + kHandlesAhead].record.get());
    }
    if (i + kTargetsAhead < items.size() && !items[i + kTargetsAhead].vacant()) {
      const StoredItem& ahead = items[i + kTargetsAhead];
      ahead.record->prefetch();
      prefetch_line(ahead.python->get());
    }
    items[i] = StoredItem();
  }
  items.clear();
}

IndexableRecord::~IndexableRecord() {
  if (owns_id) free_id(id);
}

std::shared_ptr<const IndexableRecord> IndexableRecord::native_copy() const {
  auto copy = std::make_shared<IndexableRecord>();
  copy->state = state;
  copy->id = id;
  copy->owns_id = false;
  return copy;
}

std::optional<PyValue> IndexableRecord::stored_value(uint32_t attribute) const {
  auto store = std::as_const(attributes()).lock();
  const PyValue* value = store->get(attribute);
  return value != nullptr ? std::optional<PyValue>(*value) : std::nullopt;
}

bool register_membership(MembershipList& list, const std::shared_ptr<IndexAPI>& core) {
  bool present = false;
  std::erase_if(list, [&](const IndexMeta& entry) {
    std::shared_ptr<IndexAPI> live = entry.lock();
    if (!live) return true;
    if (live == core) present = true;
    return false;
  });
  if (present) return false;
  auto position = std::upper_bound(
      list.begin(), list.end(), core.get(),
      [](const IndexAPI* target, const IndexMeta& entry) { return target < entry.lock().get(); });
  list.insert(position, core);
  return true;
}

void unregister_membership(MembershipList& list, const IndexAPI* core) {
  std::erase_if(list, [&](const IndexMeta& entry) {
    std::shared_ptr<IndexAPI> live = entry.lock();
    return !live || live.get() == core;
  });
}

bool is_registered(const MembershipList& list, const IndexAPI* core) {
  return std::ranges::any_of(list,
                             [&](const IndexMeta& entry) { return entry.lock().get() == core; });
}

}  // namespace vantorel
