// OnDemand<T>: a structure derived from an attribute's per-value id sets,
// built when a query first needs it and dropped again when nothing uses it.
//
// Equality is answered from the per-value sets, which every write keeps
// current. The derived structures (the bit slices of numbers, the positions
// of strings) serve only ranges and string patterns, so they are not built
// until such a query asks for one; from then on every write keeps them
// current too. Rule: once the writes since the structure's last use exceed
// max(kMinWrites, ids / 4), where ids is the number of ids it was built with,
// it is dropped, and the next query that needs it rebuilds it from the sets.
// Keeping it through those writes costs about what one rebuild costs, so an
// attribute that is written and never queried that way pays at most that
// much, and one whose structure is used keeps it.
//
// No lock of its own: the owner's reader-writer lock guards the structure.
// Writers call written() under the write lock; readers call used() under
// the read lock, which only resets an atomic counter.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

namespace vantorel {

template <class T>
class OnDemand {
 public:
  static constexpr size_t kMinWrites = 1024;

  OnDemand() = default;
  OnDemand(const OnDemand&) = delete;
  OnDemand& operator=(const OnDemand&) = delete;

  // The structure, or null when it is not built. Does not count as a use.
  T* get() const { return built_.get(); }

  // The structure for a query that reads it (null when not built); the
  // writes since its last use start again from zero.
  const T* used() const {
    if (built_) writes_since_use_.store(0, std::memory_order_relaxed);
    return built_.get();
  }

  // Counts one write and returns the structure it must update, or null when
  // it is not built or has just been dropped by the rule above.
  T* written() {
    if (!built_) return nullptr;
    const size_t writes = writes_since_use_.load(std::memory_order_relaxed) + 1;
    if (writes > std::max(kMinWrites, built_ids_ / 4)) {
      built_.reset();
      return nullptr;
    }
    writes_since_use_.store(writes, std::memory_order_relaxed);
    return built_.get();
  }

  // Installs a structure built from the sets, holding `ids` ids; it counts
  // as used.
  void install(std::unique_ptr<T> built, size_t ids) {
    built_ = std::move(built);
    built_ids_ = ids;
    writes_since_use_.store(0, std::memory_order_relaxed);
  }

 private:
  std::unique_ptr<T> built_;
  size_t built_ids_ = 0;
  mutable std::atomic<size_t> writes_since_use_{0};
};

}  // namespace vantorel
