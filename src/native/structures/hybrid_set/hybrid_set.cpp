#include "native/structures/hybrid_set/hybrid_set.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "native/common/internal_error.h"

namespace vantorel {

static_assert(sizeof(HybridSet) == 8);
static_assert(alignof(std::array<uint32_t, 1>) >= 4 && alignof(Bitmap) >= 4,
              "the form's tag needs the two low address bits");

namespace {

template <class T>
uint64_t word_of(std::unique_ptr<T> owned) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(owned.release()));
}

Bitmap bitmap_of(std::span<const uint32_t> ids) {
  return Bitmap::of(ids.data(), ids.size());
}

}  // namespace

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    release();
    word_ = other.word_;
    other.word_ = 0;
  }
  return *this;
}

void HybridSet::release() {
  if (tag() == kLargeTag) {
    std::unique_ptr<Bitmap> owned(bitmap());
  } else if (tag() == 0 && word_ != 0) {
    std::unique_ptr<IdArray> owned(array());
  }
  word_ = 0;
}

HybridSet HybridSet::single(uint32_t id) {
  HybridSet set;
  set.set_small(id);
  return set;
}

HybridSet HybridSet::of(std::span<const uint32_t> ids) {
  HybridSet set;
  if (ids.size() == 1) {
    set.set_small(ids[0]);
  } else if (ids.size() > kArrayCapacity) {
    set.set_bitmap(bitmap_of(ids));
  } else if (!ids.empty()) {
    set.set_array(ids);
  }
  return set;
}

HybridSet::IdArray* HybridSet::array() const {
  return reinterpret_cast<IdArray*>(static_cast<uintptr_t>(word_));
}

Bitmap* HybridSet::bitmap() const {
  if (tag() != kLargeTag) return nullptr;
  return reinterpret_cast<Bitmap*>(static_cast<uintptr_t>(word_ & ~kTagMask));
}

std::span<const uint32_t> HybridSet::array_ids(uint32_t& one) const {
  if (tag() == kSmallTag) {
    one = small_id();
    return {&one, 1};
  }
  if (tag() != 0 || word_ == 0) return {};
  const IdArray* ids = array();
  return {ids->ids.data(), ids->size};
}

void HybridSet::set_array(std::span<const uint32_t> ids) {
  auto owned = std::make_unique<IdArray>();
  owned->size = static_cast<uint32_t>(ids.size());
  std::copy(ids.begin(), ids.end(), owned->ids.begin());
  release();
  word_ = word_of(std::move(owned));
}

void HybridSet::set_bitmap(Bitmap ids) {
  uint64_t word = word_of(std::make_unique<Bitmap>(std::move(ids))) | kLargeTag;
  release();
  word_ = word;
}

void HybridSet::add(uint32_t id) {
  switch (kind()) {
    case Kind::Empty:
      set_small(id);
      return;
    case Kind::Small: {
      const uint32_t held = small_id();
      if (held == id) return;
      const std::array<uint32_t, 2> ids = held < id ? std::array{held, id} : std::array{id, held};
      set_array(ids);
      return;
    }
    case Kind::Medium: {
      IdArray& ids = *array();
      uint32_t* end = ids.ids.data() + ids.size;
      uint32_t* at = std::lower_bound(ids.ids.data(), end, id);
      if (at != end && *at == id) return;
      if (ids.size < kArrayCapacity) {
        std::move_backward(at, end, end + 1);
        *at = id;
        ++ids.size;
        return;
      }
      Bitmap grown = bitmap_of({ids.ids.data(), ids.size});
      grown.add(id);
      set_bitmap(std::move(grown));
      return;
    }
    case Kind::Large:
      bitmap()->add(id);
      return;
  }
}

void HybridSet::remove(uint32_t id) {
  switch (kind()) {
    case Kind::Empty:
      throw InternalError("called remove on Empty");
    case Kind::Small:
      if (small_id() == id) word_ = 0;
      return;
    case Kind::Medium: {
      IdArray& ids = *array();
      uint32_t* end = ids.ids.data() + ids.size;
      uint32_t* at = std::lower_bound(ids.ids.data(), end, id);
      if (at == end || *at != id) return;
      std::move(at + 1, end, at);
      --ids.size;
      return;
    }
    case Kind::Large:
      bitmap()->remove(id);
      return;
  }
}

bool HybridSet::changes_in_one_pass(const Bitmap& bitmap, size_t count) {
  // A merge or an and-not walks every id of the set's containers; adding or
  // removing an id alone costs a search and a shift within one container. A
  // few ids of a large set go one at a time. Fewer than kMinPass ids always
  // do: the set's size, which the choice needs, costs a read of every
  // container.
  constexpr uint64_t kIdsPerPass = 64;
  constexpr size_t kMinPass = 16;
  return count >= kMinPass && count * kIdsPerPass >= bitmap.cardinality();
}

void HybridSet::add_many(std::span<const uint32_t> ids) {
  Bitmap* large = bitmap();
  if (large == nullptr && size() + ids.size() > kArrayCapacity) {
    Bitmap grown = to_bitmap();
    grown.add_many(ids.data(), ids.size());
    set_bitmap(std::move(grown));
    return;
  }
  if (large != nullptr && changes_in_one_pass(*large, ids.size())) {
    *large |= Bitmap::of(ids.data(), ids.size());
    return;
  }
  for (uint32_t id : ids) add(id);
}

void HybridSet::remove_many(std::span<const uint32_t> ids) {
  Bitmap* large = bitmap();
  if (large != nullptr && changes_in_one_pass(*large, ids.size())) {
    *large -= Bitmap::of(ids.data(), ids.size());
    return;
  }
  for (uint32_t id : ids) {
    if (empty()) return;
    remove(id);
  }
}

template <class Keep>
void HybridSet::keep_array_ids(Keep&& keep) {
  if (tag() == kSmallTag) {
    if (!keep(small_id())) word_ = 0;
    return;
  }
  if (kind() != Kind::Medium) return;
  IdArray& ids = *array();
  uint32_t* end = std::remove_if(ids.ids.data(), ids.ids.data() + ids.size,
                                 [&](uint32_t id) { return !keep(id); });
  ids.size = static_cast<uint32_t>(end - ids.ids.data());
}

void HybridSet::remove_in(const Bitmap& drop) {
  if (Bitmap* large = bitmap()) {
    if (large->intersects(drop)) *large -= drop;
    return;
  }
  keep_array_ids([&](uint32_t id) { return !drop.contains(id); });
}

void HybridSet::retain_in(const Bitmap& allowed) {
  if (Bitmap* large = bitmap()) {
    *large &= allowed;
    return;
  }
  keep_array_ids([&](uint32_t id) { return allowed.contains(id); });
}

Bitmap HybridSet::to_bitmap() const {
  if (const Bitmap* large = bitmap()) return Bitmap(*large);
  uint32_t one;
  return bitmap_of(array_ids(one));
}

uint64_t HybridSet::count_in(const Bitmap& allowed) const {
  if (const Bitmap* large = bitmap()) return large->and_cardinality(allowed);
  uint64_t count = 0;
  uint32_t one;
  for (uint32_t id : array_ids(one)) count += allowed.contains(id) ? 1 : 0;
  return count;
}

void HybridSet::add_in(const Bitmap& allowed, Bitmap& out) const {
  if (const Bitmap* large = bitmap()) {
    out |= *large & allowed;
    return;
  }
  uint32_t one;
  for (uint32_t id : array_ids(one)) {
    if (allowed.contains(id)) out.add(id);
  }
}

void HybridSet::add_to(Bitmap& out) const {
  if (const Bitmap* large = bitmap()) {
    out |= *large;
    return;
  }
  uint32_t one;
  std::span<const uint32_t> ids = array_ids(one);
  out.add_many(ids.data(), ids.size());
}

void HybridSet::intersect_into(Bitmap& running) const {
  if (const Bitmap* large = bitmap()) {
    running &= *large;
    return;
  }
  uint32_t one;
  std::array<uint32_t, kArrayCapacity> kept;
  size_t count = 0;
  for (uint32_t id : array_ids(one)) {
    if (running.contains(id)) kept[count++] = id;
  }
  running.clear();
  running.add_many(kept.data(), count);
}

void HybridSet::add_to(Bitmap& out, std::vector<uint32_t>& gathered) const {
  if (const Bitmap* large = bitmap()) {
    out |= *large;
    return;
  }
  uint32_t one;
  std::span<const uint32_t> ids = array_ids(one);
  gathered.insert(gathered.end(), ids.begin(), ids.end());
}

void SetUnion::finish() {
  std::sort(gathered_.begin(), gathered_.end());
  out_.add_many(gathered_.data(), gathered_.size());
  gathered_.clear();
}

size_t HybridSet::size() const {
  if (const Bitmap* large = bitmap()) return static_cast<size_t>(large->cardinality());
  uint32_t one;
  return array_ids(one).size();
}

bool HybridSet::stored_empty() const {
  if (const Bitmap* large = bitmap()) return large->empty();
  return array()->size == 0;
}

bool HybridSet::contains(uint32_t id) const {
  if (const Bitmap* large = bitmap()) return large->contains(id);
  uint32_t one;
  std::span<const uint32_t> ids = array_ids(one);
  return std::binary_search(ids.begin(), ids.end(), id);
}

size_t HybridSet::memory_bytes() const {
  switch (kind()) {
    case Kind::Medium:
      return sizeof(IdArray);
    case Kind::Large:
      return sizeof(Bitmap) + bitmap()->memory_bytes();
    default:
      return 0;
  }
}

}  // namespace vantorel
