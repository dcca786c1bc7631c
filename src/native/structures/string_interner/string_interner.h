// StrInterner: turns attribute names into small dense 32-bit ids and back.
//
// Ids start at 0 and grow by one for each new name, in the order in which
// names are first interned; names are never removed, and the empty name is a
// name like any other. One process-wide instance (global_interner()) gives
// every attribute name the same id in every index.
//
// Reading is lock-free and takes no reference counts: a reader loads the
// published name count and the current id table (two acquire loads) and
// probes. Additions are serialised by a poisoning mutex.
//
// A new name costs O(1) amortised; nothing is copied per name. Readers and
// the writer share two append-only structures:
//   - the name store, chunks of doubling size that never move, where name i
//     is written once, before the count that covers i is published; and
//   - the id table, an open-addressing table whose slots only ever go from
//     empty to holding an id (atomically). It is kept at most half full and
//     replaced by a twice larger copy when it would pass that; replaced tables
//     are kept until the interner dies, so a reader may still be probing one.
// The count is published after the name and its slot are written, and the
// reader loads the count before the table, so it finds every name the count
// covers; ids at or past the count it loaded are ignored. A reader therefore
// sees exactly the names interned before the count it loaded.
//
// InternerSnapshot packages such a count with shared ownership of the name
// store, for callers that want a stable view or outlive the interner.
//
// Names are keyed by (hash of the bytes, length); names that share a key are
// told apart by comparing bytes. The hash affects speed only, never ids.
//
// Failures: if a writer fails half-way (allocation failure), the mutex is
// poisoned and every later addition throws InternalError(kPoisonedLock);
// lookups of names already known keep working.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "native/common/fx_hash.h"
#include "native/sync/poison_lock.h"

namespace vantorel {

// Hash of a name's bytes. Injectable so that tests can force collisions.
using NameHashFn = uint64_t (*)(std::string_view);

namespace interner_detail {
class NameStore;
class IdTable;
}  // namespace interner_detail

// An immutable view of the interner at one moment: the names interned before
// it was taken. It keeps alive the storage of every name it covers.
class InternerSnapshot {
 public:
  // Made by StrInterner only.
  InternerSnapshot(std::shared_ptr<const interner_detail::NameStore> names, uint32_t size);

  // The name with id `id`, valid while this snapshot lives. Throws
  // InternalError when `id` >= size().
  std::string_view name(uint32_t id) const;

  // Number of names covered: ids 0 to size() - 1.
  size_t size() const { return size_; }

 private:
  std::shared_ptr<const interner_detail::NameStore> names_;
  uint32_t size_;
};

class StrInterner {
 public:
  // `expected_names` pre-sizes the storage; the interner grows past it.
  explicit StrInterner(size_t expected_names = 0, NameHashFn hash = &fx_hash_str);
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  // The id of `name`, adding it if it is new. Known names take no lock.
  uint32_t intern(std::string_view name);

  // The id of `name` if it has been interned; never adds. Lock-free.
  std::optional<uint32_t> get(std::string_view name) const;

  // A view of the names interned so far. An id returned by intern() on any
  // thread is covered by every snapshot taken after that call returned.
  std::shared_ptr<const InternerSnapshot> snapshot() const;

  // The writers' mutex, for hold_across_fork() (sync/fork_hold.h) only.
  SmallMutex& writer_mutex_for_fork() { return writer_.mutex_for_fork(); }

 private:
  struct Writer {
    // Every id table made so far, the current one last.
    std::vector<std::shared_ptr<interner_detail::IdTable>> tables;
  };

  uint32_t add(Writer& w, std::string_view name, uint64_t hash);

  const NameHashFn hash_;
  // Written only by the mutex holder; entries below size_ are immutable.
  const std::shared_ptr<interner_detail::NameStore> names_;
  // The published view. Stored with release by the mutex holder only.
  std::atomic<uint32_t> size_{0};
  std::atomic<const interner_detail::IdTable*> table_{nullptr};
  PoisonMutex<Writer> writer_;
};

// The process-wide interner: made on first use with room for 1024 names and
// never destroyed. A fork waits for its writers' mutex, so that a child can
// intern whichever thread of its parent was interning at the fork.
StrInterner& global_interner();

}  // namespace vantorel
