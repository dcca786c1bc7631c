#include "native/sync/lock_order.h"

#ifdef VANTOREL_CHECK_LOCK_ORDER

#include <iterator>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "native/common/internal_error.h"

namespace vantorel::lock_order {

// The locks one thread holds, in the order it took them. Guarded by a mutex
// of its own: a lock is let go on another thread when a bulk writer's helper
// drops the writer that held it.
class HeldLocks {
 public:
  struct Entry {
    const void* lock;
    LockRank rank;
  };
  std::mutex mutex;
  std::vector<Entry> entries;
};

namespace {

thread_local HeldLocks held_by_thread;

// The rank as a tuple that compares in the lock order: the band, then (for a
// core's locks) the core, the place within the core, and the level.
std::tuple<int, uint64_t, uint64_t, int> order_key(const LockRank& rank) {
  const int level = static_cast<int>(rank.level);
  if (rank.level == LockLevel::kMembership) return {0, 0, 0, level};
  if (rank.level >= LockLevel::kCyclicLinks) return {2, 0, 0, level};
  uint64_t place = 0;  // `index` and the live ids
  if (rank.level == LockLevel::kParentChildMap) {
    place = uint64_t{1} << 33;  // after every sub-index
  } else if (rank.level >= LockLevel::kStrings) {
    place = uint64_t{rank.attribute} + 1;
  }
  return {1, rank.core, place, level};
}

std::string describe(const LockRank& rank) {
  static constexpr const char* kNames[] = {
      "an unranked lock",        "a membership mutex", "`index`",        "the live ids",
      "str_radix_map",           "num_ordered",        "bool_map",       "elements",
      "the parent/child map",    "cyclic_links",       "the item table", "an exact-value map",
      "an attribute mutex",      "the id allocator",   "the interner",   "a core's live results",
      "a live result's members",
  };
  std::string text = kNames[static_cast<int>(rank.level)];
  if (rank.level >= LockLevel::kStrings && rank.level <= LockLevel::kElements) {
    text += " of attribute " + std::to_string(rank.attribute);
  }
  if (rank.level >= LockLevel::kCoreIndex && rank.level <= LockLevel::kParentChildMap) {
    text += " of core " + std::to_string(rank.core);
  }
  return text;
}

}  // namespace

void check(const void* lock, const LockRank& rank) {
  if (rank.level == LockLevel::kUnranked) return;
  HeldLocks& held = held_by_thread;
  std::lock_guard<std::mutex> guard(held.mutex);
  for (const HeldLocks::Entry& entry : held.entries) {
    const bool nested_membership = entry.rank.level == LockLevel::kMembership &&
                                   rank.level == LockLevel::kMembership && entry.lock != lock;
    if (nested_membership || order_key(entry.rank) < order_key(rank)) continue;
    throw InternalError("lock order: " + describe(rank) + " waited for while holding " +
                        (entry.lock == lock ? std::string("it already") : describe(entry.rank)));
  }
}

Hold acquired(const void* lock, const LockRank& rank) {
  if (rank.level == LockLevel::kUnranked) return {};
  HeldLocks& held = held_by_thread;
  std::lock_guard<std::mutex> guard(held.mutex);
  held.entries.push_back({lock, rank});
  return {&held};
}

void released(const Hold& hold, const void* lock) {
  if (hold.held == nullptr) return;
  std::lock_guard<std::mutex> guard(hold.held->mutex);
  std::vector<HeldLocks::Entry>& entries = hold.held->entries;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (entry->lock == lock) {
      entries.erase(std::next(entry).base());
      return;
    }
  }
}

}  // namespace vantorel::lock_order

#endif
