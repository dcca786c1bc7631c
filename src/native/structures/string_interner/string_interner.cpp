#include "native/structures/string_interner/string_interner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>

#include "native/common/internal_error.h"
#include "native/common/no_destructor.h"
#include "native/sync/fork_hold.h"

namespace vantorel {

namespace interner_detail {

struct NameEntry {
  std::string text;
  uint64_t hash = 0;
};

// Append-only storage of the names, by id. Chunk c holds
// first_chunk * 2^c entries, so chunks never move once allocated and a
// string_view into an entry stays valid for the life of the store.
class NameStore {
 public:
  // `first_chunk` is a power of two, at least kMinFirstChunk.
  explicit NameStore(size_t first_chunk) : shift_(std::countr_zero(first_chunk)) {}

  static constexpr size_t kMinFirstChunk = 16;

  const NameEntry& at(uint32_t id) const {
    auto [chunk, offset] = locate(id);
    return chunks_[chunk][offset];
  }

  // Writes entry `id`, which must be the next unused one. Writer only.
  void put(uint32_t id, std::string_view text, uint64_t hash) {
    auto [chunk, offset] = locate(id);
    if (!chunks_[chunk]) {
      chunks_[chunk] = std::make_unique<NameEntry[]>(size_t{1} << (chunk + shift_));
    }
    NameEntry& entry = chunks_[chunk][offset];
    entry.text.assign(text);
    entry.hash = hash;
  }

 private:
  // With F = 2^shift_, chunk c covers ids [F * (2^c - 1), F * (2^(c+1) - 1)).
  std::pair<size_t, size_t> locate(uint32_t id) const {
    const uint64_t q = (uint64_t{id} >> shift_) + 1;
    const size_t chunk = std::bit_width(q) - 1;
    const uint64_t base = ((uint64_t{1} << chunk) - 1) << shift_;
    return {chunk, static_cast<size_t>(id - base)};
  }

  // Enough chunks for every 32-bit id when the first chunk has 16 entries.
  static constexpr size_t kMaxChunks = 29;

  const int shift_;
  std::array<std::unique_ptr<NameEntry[]>, kMaxChunks> chunks_;
};

// Open-addressing table of ids under linear probing. A slot holds 0 (empty)
// or id + 1 and, once set, never changes, so readers may probe it while the
// writer fills other slots. The writer keeps it at most half full.
class IdTable {
 public:
  // `slot_count` is a power of two.
  explicit IdTable(size_t slot_count)
      : slots_(std::make_unique<std::atomic<uint32_t>[]>(slot_count)), mask_(slot_count - 1) {}

  size_t slot_count() const { return mask_ + 1; }

  // The first id in `hash`'s probe sequence for which match(id) holds.
  template <class Match>
  std::optional<uint32_t> find(uint64_t hash, Match match) const {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint32_t slot = slots_[i].load(std::memory_order_acquire);
      if (slot == 0) return std::nullopt;
      if (match(slot - 1)) return slot - 1;
    }
  }

  // Writer only. Requires a free slot.
  void put(uint64_t hash, uint32_t id) {
    size_t i = hash & mask_;
    while (slots_[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & mask_;
    slots_[i].store(id + 1, std::memory_order_release);
  }

 private:
  std::unique_ptr<std::atomic<uint32_t>[]> slots_;
  size_t mask_;
};

}  // namespace interner_detail

namespace {

using interner_detail::IdTable;
using interner_detail::NameEntry;
using interner_detail::NameStore;

// Largest number of names: ids run to 2^32 - 2 so that id + 1 fits a slot.
constexpr uint32_t kMaxNames = std::numeric_limits<uint32_t>::max();

std::optional<uint32_t> find_id(const NameStore& names, const IdTable& table, uint32_t size,
                                uint64_t hash, std::string_view name) {
  return table.find(hash, [&](uint32_t id) {
    if (id >= size) return false;  // added after this view was taken
    const NameEntry& entry = names.at(id);
    return entry.hash == hash && entry.text.size() == name.size() && entry.text == name;
  });
}

}  // namespace

InternerSnapshot::InternerSnapshot(std::shared_ptr<const NameStore> names, uint32_t size)
    : names_(std::move(names)), size_(size) {}

std::string_view InternerSnapshot::name(uint32_t id) const {
  if (id >= size_) {
    throw InternalError("index out of bounds: the len is " + std::to_string(size_) +
                        " but the index is " + std::to_string(id));
  }
  return names_->at(id).text;
}

StrInterner::StrInterner(size_t expected_names, NameHashFn hash)
    : hash_(hash),
      names_(std::make_shared<NameStore>(
          std::bit_ceil(std::max(expected_names, NameStore::kMinFirstChunk)))),
      writer_(LockRank{LockLevel::kInterner}) {
  auto w = writer_.lock();
  w->tables.push_back(
      std::make_shared<IdTable>(std::bit_ceil(std::max<size_t>(2 * expected_names, 32))));
  table_.store(w->tables.back().get(), std::memory_order_release);
}

// Readers load the count before the table; see the header.
std::optional<uint32_t> StrInterner::get(std::string_view name) const {
  const uint32_t size = size_.load(std::memory_order_acquire);
  const IdTable* table = table_.load(std::memory_order_acquire);
  return find_id(*names_, *table, size, hash_(name), name);
}

std::shared_ptr<const InternerSnapshot> StrInterner::snapshot() const {
  return std::make_shared<const InternerSnapshot>(names_, size_.load(std::memory_order_acquire));
}

uint32_t StrInterner::intern(std::string_view name) {
  if (auto id = get(name)) return *id;
  const uint64_t hash = hash_(name);
  auto w = writer_.lock();
  // Another thread may have added it since our lookup.
  const uint32_t size = size_.load(std::memory_order_relaxed);
  if (auto id = find_id(*names_, *w->tables.back(), size, hash, name)) return *id;
  return add(*w, name, hash);
}

// Publication order: the name, then (on growth) the new table, then the
// name's slot, then the count.
uint32_t StrInterner::add(Writer& w, std::string_view name, uint64_t hash) {
  const uint32_t id = size_.load(std::memory_order_relaxed);
  if (id == kMaxNames) throw InternalError("string interner is full");
  names_->put(id, name, hash);
  if (2 * (size_t{id} + 1) > w.tables.back()->slot_count()) {
    auto bigger = std::make_shared<IdTable>(2 * w.tables.back()->slot_count());
    for (uint32_t i = 0; i < id; ++i) bigger->put(names_->at(i).hash, i);
    w.tables.push_back(std::move(bigger));
    table_.store(w.tables.back().get(), std::memory_order_release);
  }
  w.tables.back()->put(hash, id);
  size_.store(id + 1, std::memory_order_release);
  return id;
}

namespace {

SmallMutex& global_writer_mutex() {
  return global_interner().writer_mutex_for_fork();
}

struct GlobalInterner {
  GlobalInterner() { hold_across_fork<&global_writer_mutex>(); }
  StrInterner interner{1024};
};

}  // namespace

StrInterner& global_interner() {
  static NoDestructor<GlobalInterner> instance;
  return instance->interner;
}

}  // namespace vantorel
