#include "native/sync/read_hold.h"

#include <algorithm>

namespace vantorel {

ReadHold::ReadHold() : outermost_(detail::hold_depth == 0) {
  ++detail::hold_depth;
  if (outermost_) detail::holds_alive.fetch_add(1, std::memory_order_relaxed);
}

ReadHold::~ReadHold() {
  --detail::hold_depth;
  if (!outermost_) return;
  detail::holds_alive.fetch_sub(1, std::memory_order_relaxed);
  std::vector<detail::HeldRead>& held = detail::held_reads;
  for (auto entry = held.rbegin(); entry != held.rend(); ++entry) entry->unlock(entry->lock);
  held.clear();  // keeps its capacity for the thread's next hold
}

bool ReadHold::active() {
  return detail::hold_depth > 0;
}

namespace detail {

bool is_held(const std::vector<HeldRead>& held, const void* lock) {
  return std::any_of(held.begin(), held.end(),
                     [&](const HeldRead& entry) { return entry.lock == lock; });
}

}  // namespace detail

}  // namespace vantorel
