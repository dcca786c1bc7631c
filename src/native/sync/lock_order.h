// LockRank: where a lock stands in the one order in which every thread takes
// the locks of this module (declared in core/index.h). A thread that holds
// some locks only waits for one that ranks above every lock it holds, so no
// two threads ever wait for each other in a cycle.
//
// Three bands, in this order:
//   - the membership mutexes of objects. A holder's comes before that of the
//     object it holds; the object graph decides, so several may be held at
//     once and the check lets one follow another;
//   - the locks of the index cores. Cores rank by their serial number, and
//     a nested core is made after the core that owns it, so it ranks after
//     it. Within a core: `index`, the live ids, the sub-indexes of each
//     QueryMap (by attribute, then str_radix_map, num_ordered, bool_map,
//     elements), the parent/child map;
//   - leaves that are taken under core locks: a QueryMap's cyclic links, a
//     core's item table, an exact-value map, an object's attribute
//     mutex, the id allocator, the interner, a core's list of live results,
//     a live result's members.
//
// When VANTOREL_CHECK_LOCK_ORDER is defined, every blocking acquisition of a
// poisoning lock (poison_lock.h) checks its rank against the locks its thread
// holds, and throws InternalError, naming both locks, before it would wait out
// of order. A try never waits, so it is not checked (the locks it takes count
// as held all the same): a path that must take a lock against the order
// tries it, and lets everything go before it waits for it. Otherwise a rank
// costs nothing: it is not even stored. Pure C++.
#pragma once

#include <cstdint>

namespace vantorel {

enum class LockLevel : uint8_t {
  kUnranked,  // outside the order: never checked
  kMembership,
  // A core's locks.
  kCoreIndex,
  kCoreLiveIds,
  kStrings,
  kNumbers,
  kBooleans,
  kElements,
  kParentChildMap,
  // Leaves.
  kCyclicLinks,
  kItems,
  kExactValues,
  kAttributes,
  kIdAllocator,
  kInterner,
  kLiveResults,
  kLiveMembers,
};

struct LockRank {
  LockLevel level = LockLevel::kUnranked;
  uint64_t core = 0;       // a core's locks: the core's serial number
  uint32_t attribute = 0;  // a QueryMap's sub-indexes: its attribute
};

namespace lock_order {

#ifdef VANTOREL_CHECK_LOCK_ORDER

class HeldLocks;

// What a hold of a lock keeps to be let go: the list of the thread that took
// it (a bulk writer's lock can be let go by a helper thread).
struct Hold {
  HeldLocks* held = nullptr;
};

// Throws InternalError when `rank` does not rank above every lock that the
// calling thread holds. Called before a blocking acquisition of `lock`.
void check(const void* lock, const LockRank& rank);
// Records `lock` as held by the calling thread, after any acquisition.
Hold acquired(const void* lock, const LockRank& rank);
// Forgets the hold.
void released(const Hold& hold, const void* lock);

#else

struct Hold {};
inline void check(const void*, const LockRank&) {}
inline Hold acquired(const void*, const LockRank&) {
  return {};
}
inline void released(const Hold&, const void*) {}

#endif

}  // namespace lock_order

}  // namespace vantorel
