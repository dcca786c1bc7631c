#include "native/structures/hybrid_set/hybrid_set.h"

#include <algorithm>
#include <utility>

#include "native/common/internal_error.h"

namespace vantorel {

namespace {

Bitmap bitmap_of(std::span<const uint32_t> ids) {
  return Bitmap::of(ids.data(), ids.size());
}

}  // namespace

HybridSet::HybridSet(const HybridSet& other) {
  switch (other.kind()) {
    case Kind::Empty:
      break;
    case Kind::Small:
      rep_ = std::get<CenteredArray>(other.rep_);
      break;
    case Kind::Medium:
      rep_ = std::make_unique<CenteredArray>(*std::get<std::unique_ptr<CenteredArray>>(other.rep_));
      break;
    case Kind::Large:
      rep_ = Bitmap(std::get<Bitmap>(other.rep_));
      break;
  }
}

HybridSet& HybridSet::operator=(const HybridSet& other) {
  if (this != &other) *this = HybridSet(other);
  return *this;
}

HybridSet::HybridSet(HybridSet&& other) noexcept : rep_(std::move(other.rep_)) {
  other.rep_.emplace<std::monostate>();
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    rep_ = std::move(other.rep_);
    other.rep_.emplace<std::monostate>();
  }
  return *this;
}

HybridSet HybridSet::single(uint32_t id) {
  HybridSet set;
  set.rep_.emplace<CenteredArray>().insert(id);
  return set;
}

HybridSet HybridSet::medium(std::span<const uint32_t> ids) {
  HybridSet set;
  set.rep_ = std::make_unique<CenteredArray>(CenteredArray::packed(ids));
  return set;
}

const CenteredArray* HybridSet::array() const {
  if (const CenteredArray* small = std::get_if<CenteredArray>(&rep_)) return small;
  if (const auto* medium = std::get_if<std::unique_ptr<CenteredArray>>(&rep_)) return medium->get();
  return nullptr;
}

CenteredArray* HybridSet::array() {
  return const_cast<CenteredArray*>(std::as_const(*this).array());
}

std::span<const uint32_t> HybridSet::array_ids() const {
  const CenteredArray* ids = array();
  return ids == nullptr ? std::span<const uint32_t>() : ids->as_slice();
}

void HybridSet::become_large_with(uint32_t id) {
  Bitmap bitmap = bitmap_of(array_ids());
  bitmap.add(id);
  rep_ = std::move(bitmap);
}

void HybridSet::add(uint32_t id) {
  switch (kind()) {
    case Kind::Empty:
      rep_.emplace<CenteredArray>().insert(id);
      break;
    case Kind::Small:
      // Small grows to 3 ids through add; the 4th add goes to a bitmap.
      if (array()->size() + 1 < CenteredArray::kCapacity) {
        array()->insert(id);
      } else {
        become_large_with(id);
      }
      break;
    case Kind::Medium:
      if (array()->size() < CenteredArray::kCapacity) {
        array()->insert(id);
      } else {
        become_large_with(id);
      }
      break;
    case Kind::Large:
      std::get<Bitmap>(rep_).add(id);
      break;
  }
}

void HybridSet::remove(uint32_t id) {
  switch (kind()) {
    case Kind::Empty:
      throw InternalError("called remove on Empty");
    case Kind::Small:
    case Kind::Medium:
      array()->remove(id);
      break;
    case Kind::Large:
      std::get<Bitmap>(rep_).remove(id);
      break;
  }
}

bool HybridSet::removes_in_one_pass(const Bitmap& bitmap, size_t count) {
  // An and-not walks every id of the set's containers; removing an id alone
  // costs a search and a shift within one container. A few ids out of a
  // large set go one at a time. Fewer than kMinPass ids always do: the
  // set's size, which the choice needs, costs a read of every container.
  constexpr uint64_t kIdsPerPass = 64;
  constexpr size_t kMinPass = 128;
  return count >= kMinPass && count * kIdsPerPass >= bitmap.cardinality();
}

void HybridSet::remove_many(std::span<const uint32_t> ids) {
  Bitmap* bitmap = std::get_if<Bitmap>(&rep_);
  if (bitmap != nullptr && removes_in_one_pass(*bitmap, ids.size())) {
    *bitmap -= Bitmap::of(ids.data(), ids.size());
    return;
  }
  for (uint32_t id : ids) remove(id);
}

void HybridSet::union_with(const HybridSet& other) {
  if (&other == this) {
    HybridSet copy(other);
    union_with(copy);
    return;
  }
  const CenteredArray* mine = array();
  const CenteredArray* theirs = other.array();
  if (mine != nullptr && theirs != nullptr &&
      mine->size() + theirs->size() <= CenteredArray::kCapacity) {
    CenteredArray merged = *mine;
    merged.union_with(*theirs);
    if (kind() == Kind::Small && other.kind() == Kind::Small) {
      rep_ = merged;
    } else {
      rep_ = std::make_unique<CenteredArray>(merged);
    }
    return;
  }
  if (kind() == Kind::Empty) {
    *this = other;
    return;
  }
  if (other.kind() == Kind::Empty) return;

  if (kind() != Kind::Large) rep_ = bitmap_of(array_ids());
  other.add_to(std::get<Bitmap>(rep_));
}

void HybridSet::retain_in(const Bitmap& allowed) {
  switch (kind()) {
    case Kind::Empty:
      break;
    case Kind::Small: {
      CenteredArray kept;
      for (uint32_t id : array_ids()) {
        if (allowed.contains(id)) kept.insert(id);
      }
      rep_ = kept;
      break;
    }
    case Kind::Medium: {
      uint32_t ids[CenteredArray::kCapacity];
      size_t count = 0;
      for (uint32_t id : array_ids()) {
        if (allowed.contains(id)) ids[count++] = id;
      }
      rep_ = std::make_unique<CenteredArray>(CenteredArray::packed({ids, count}));
      break;
    }
    case Kind::Large:
      std::get<Bitmap>(rep_) &= allowed;
      break;
  }
}

Bitmap HybridSet::to_bitmap() const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) return Bitmap(*bitmap);
  return bitmap_of(array_ids());
}

uint64_t HybridSet::count_in(const Bitmap& allowed) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) return bitmap->and_cardinality(allowed);
  uint64_t count = 0;
  for (uint32_t id : array_ids()) count += allowed.contains(id) ? 1 : 0;
  return count;
}

void HybridSet::add_in(const Bitmap& allowed, Bitmap& out) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) {
    out |= *bitmap & allowed;
    return;
  }
  for (uint32_t id : array_ids()) {
    if (allowed.contains(id)) out.add(id);
  }
}

void HybridSet::add_to(Bitmap& out) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) {
    out |= *bitmap;
    return;
  }
  std::span<const uint32_t> ids = array_ids();
  out.add_many(ids.data(), ids.size());
}

void HybridSet::add_to(Bitmap& out, std::vector<uint32_t>& gathered) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) {
    out |= *bitmap;
    return;
  }
  std::span<const uint32_t> ids = array_ids();
  gathered.insert(gathered.end(), ids.begin(), ids.end());
}

void SetUnion::finish() {
  std::sort(gathered_.begin(), gathered_.end());
  out_.add_many(gathered_.data(), gathered_.size());
  gathered_.clear();
}

size_t HybridSet::size() const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) {
    return static_cast<size_t>(bitmap->cardinality());
  }
  return array_ids().size();
}

bool HybridSet::empty() const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) return bitmap->empty();
  return array_ids().empty();
}

bool HybridSet::contains(uint32_t id) const {
  if (const Bitmap* bitmap = std::get_if<Bitmap>(&rep_)) return bitmap->contains(id);
  const CenteredArray* ids = array();
  return ids != nullptr && ids->contains(id);
}

}  // namespace vantorel
