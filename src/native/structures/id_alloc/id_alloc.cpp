#include "native/structures/id_alloc/id_alloc.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "native/common/no_destructor.h"
#include "native/sync/fork_hold.h"
#include "native/sync/poison_lock.h"

namespace vantorel {

namespace {

// The next fresh id. Only advanced while the free-list mutex is held.
std::atomic<uint32_t> next_fresh_id{1};

PoisonMutex<std::vector<uint32_t>>& free_list();

SmallMutex& free_list_mutex() {
  return free_list().mutex_for_fork();
}

// The free list, whose mutex a fork waits for: a child can allocate ids
// whichever thread of its parent was allocating at the fork.
struct FreeList {
  FreeList() { hold_across_fork<&free_list_mutex>(); }
  PoisonMutex<std::vector<uint32_t>> ids{LockRank{LockLevel::kIdAllocator}};
};

PoisonMutex<std::vector<uint32_t>>& free_list() {
  static NoDestructor<FreeList> list;
  return list->ids;
}

}  // namespace

uint32_t allocate_id() {
  auto ids = free_list().lock();
  if (!ids->empty()) {
    uint32_t id = ids->back();
    ids->pop_back();
    return id;
  }
  return next_fresh_id.fetch_add(1, std::memory_order_seq_cst);
}

void free_id(uint32_t id) {
  free_list().lock()->push_back(id);
}

void free_ids(std::vector<uint32_t> ids) {
  std::sort(ids.begin(), ids.end());
  auto list = free_list().lock();
  list->insert(list->end(), ids.rbegin(), ids.rend());
}

size_t free_id_count() {
  return free_list().lock()->size();
}

uint32_t ids_issued() {
  auto guard = free_list().lock();  // a consistent view next to free_id_count()
  return next_fresh_id.load(std::memory_order_seq_cst) - 1;
}

}  // namespace vantorel
