#include "native/structures/roaring/bitmap.h"

#include <utility>

#include "native/common/internal_error.h"

namespace vantorel {

Bitmap::Bitmap() : Bitmap(roaring_bitmap_create()) {}

Bitmap::Bitmap(roaring_bitmap_t* raw) : raw_(raw) {
  if (raw_ == nullptr) throw InternalError(kBitmapAllocFailed);
}

Bitmap::Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() {
  add_many(ids.begin(), ids.size());
}

Bitmap Bitmap::of(const uint32_t* ids, size_t count) {
  Bitmap result;
  result.add_many(ids, count);
  return result;
}

Bitmap::Bitmap(const Bitmap& other) : Bitmap() {
  overwrite(other);
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    if (raw_ == nullptr) *this = Bitmap();  // a moved-from bitmap
    overwrite(other);
  }
  return *this;
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  std::swap(raw_, other.raw_);
  return *this;
}

Bitmap::~Bitmap() {
  if (raw_ != nullptr) roaring_bitmap_free(raw_);
}

void Bitmap::add_many(const uint32_t* ids, size_t count) {
  if (count > 0) roaring_bitmap_add_many(raw_, count, ids);
}

void Bitmap::add_range(uint64_t min, uint64_t max_exclusive) {
  if (min < max_exclusive) roaring_bitmap_add_range(raw_, min, max_exclusive);
}

std::optional<uint32_t> Bitmap::minimum() const {
  if (empty()) return std::nullopt;
  return roaring_bitmap_minimum(raw_);
}

size_t Bitmap::memory_bytes() const {
  return sizeof(roaring_bitmap_t) + roaring_bitmap_size_in_bytes(raw_);
}

Bitmap& Bitmap::operator|=(const Bitmap& other) {
  roaring_bitmap_or_inplace(raw_, other.raw_);
  return *this;
}

Bitmap& Bitmap::operator&=(const Bitmap& other) {
  if (this != &other) roaring_bitmap_and_inplace(raw_, other.raw_);
  return *this;
}

Bitmap& Bitmap::operator-=(const Bitmap& other) {
  if (this == &other) {
    clear();
  } else {
    roaring_bitmap_andnot_inplace(raw_, other.raw_);
  }
  return *this;
}

void Bitmap::overwrite(const Bitmap& other) {
  if (this == &other) return;
  if (!roaring_bitmap_overwrite(raw_, other.raw_)) throw InternalError(kBitmapCopyFailed);
}

Bitmap operator&(const Bitmap& a, const Bitmap& b) {
  return Bitmap(roaring_bitmap_and(a.raw_, b.raw_));
}

Bitmap operator-(const Bitmap& a, const Bitmap& b) {
  return Bitmap(roaring_bitmap_andnot(a.raw_, b.raw_));
}

bool operator==(const Bitmap& a, const Bitmap& b) {
  return roaring_bitmap_equals(a.raw_, b.raw_);
}

bool Bitmap::intersects(const Bitmap& other) const {
  return roaring_bitmap_intersect(raw_, other.raw_);
}

uint64_t Bitmap::and_cardinality(const Bitmap& other) const {
  return roaring_bitmap_and_cardinality(raw_, other.raw_);
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> ids(cardinality());
  if (!ids.empty()) roaring_bitmap_to_uint32_array(raw_, ids.data());
  return ids;
}

// CRoaring 2.0 renamed the iterator functions; the build tells us which
// spelling this installation has.
#if VANTOREL_ROARING_RENAMED_ITERATOR
Bitmap::Reader::Reader(const roaring_bitmap_t* raw) {
  roaring_iterator_init(raw, &it_);
}
uint32_t Bitmap::Reader::read(uint32_t* out, uint32_t capacity) {
  return roaring_uint32_iterator_read(&it_, out, capacity);
}
#else
Bitmap::Reader::Reader(const roaring_bitmap_t* raw) {
  roaring_init_iterator(raw, &it_);
}
uint32_t Bitmap::Reader::read(uint32_t* out, uint32_t capacity) {
  return roaring_read_uint32_iterator(&it_, out, capacity);
}
#endif

}  // namespace vantorel
