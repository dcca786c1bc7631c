#include "index/core/structures/roaring/bitmap.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "common/internal_error.h"
#include "common/prefetch.h"

namespace vantorel {

namespace {

roaring_bitmap_t* create_or_throw() {
  roaring_bitmap_t* raw = roaring_bitmap_create();
  if (raw == nullptr) throw InternalError(kBitmapAllocFailed);
  return raw;
}

// What remove_each() reads of CRoaring's bitmaps to load their lines ahead.
// The bitmap's array of containers is public; the headers of the containers
// are mirrored here, as every release up to 5.x lays them out. Their data
// lines are loaded (load_line) only for those releases; for a later one they
// are only prefetched, which never faults, so a different layout would cost
// speed, not correctness.
constexpr bool kKnownContainers = ROARING_VERSION_MAJOR <= 5;
void ask_for_line(const void* address) {
  if constexpr (kKnownContainers) {
    load_line(address);
  } else {
    prefetch_line(address);
  }
}

constexpr uint8_t kBitsetContainer = 1;
constexpr uint8_t kArrayContainer = 2;
struct BitsetHead {
  int32_t cardinality;
  const uint64_t* words;
};
struct ArrayHead {
  int32_t cardinality;
  int32_t capacity;
  const uint16_t* values;
};

// The index of the container of the ids whose high 16 bits are `key`, or -1.
int32_t container_index(const roaring_array_t& containers, uint16_t key) {
  const uint16_t* keys = containers.keys;
  const uint16_t* at = std::lower_bound(keys, keys + containers.size, key);
  if (at == keys + containers.size || *at != key) return -1;
  return static_cast<int32_t>(at - keys);
}

// Loads the lines that finding `low` in an array container reads, on the
// guess that its ids spread evenly over the 65,536 values (so that `low`
// sits near position low * count / 65,536): the probes of CRoaring's block
// search on the way there (three per level, at the quarters of the blocks
// left), then the blocks around the guess.
void load_array_search(const ArrayHead& array, uint16_t low) {
  constexpr int32_t kGap = 16;  // ids per block of the search
  const int32_t count = array.cardinality;
  const uint16_t* values = array.values;
  if (count <= 0 || values == nullptr) return;
  const int32_t guess = static_cast<int32_t>((static_cast<int64_t>(low) * count) >> 16);
  int32_t base = 0;
  for (int32_t n = count / kGap; n > 3;) {
    const int32_t quarter = n >> 2;
    int32_t below = 0;
    for (int32_t k = 1; k <= 3; ++k) {
      const int32_t probe = (base + k * quarter + 1) * kGap - 1;
      ask_for_line(values + probe);
      below += probe < guess;
    }
    base += below * quarter;
    n -= 3 * quarter;
  }
  const int32_t from = std::max(0, base * kGap - kGap);
  const int32_t to = std::min(count, std::max(guess, from) + 4 * kGap);
  for (int32_t at = from; at < to; at += static_cast<int32_t>(kCacheLine / sizeof(uint16_t))) {
    ask_for_line(values + at);
  }
}

// Loads the data lines that removing `id` from container `index` of
// `containers` reads.
void load_container_data(const roaring_array_t& containers, int32_t index, uint32_t id) {
  const void* container = containers.containers[index];
  const uint16_t low = static_cast<uint16_t>(id);
  if (containers.typecodes[index] == kArrayContainer) {
    ArrayHead head;
    std::memcpy(&head, container, sizeof(head));
    load_array_search(head, low);
  } else if (containers.typecodes[index] == kBitsetContainer) {
    BitsetHead head;
    std::memcpy(&head, container, sizeof(head));
    ask_for_line(head.words + low / 64);
  }
}

}  // namespace

Bitmap::Bitmap() : raw_(create_or_throw()) {}

Bitmap::Bitmap(roaring_bitmap_t* raw) : raw_(raw) {
  if (raw_ == nullptr) throw InternalError(kBitmapAllocFailed);
}

Bitmap::Bitmap(std::initializer_list<uint32_t> ids) : raw_(create_or_throw()) {
  add_many(ids.begin(), ids.size());
}

Bitmap Bitmap::of(const uint32_t* ids, size_t count) {
  Bitmap result;
  result.add_many(ids, count);
  return result;
}

Bitmap::Bitmap(const Bitmap& other) : raw_(create_or_throw()) {
  overwrite(other);
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    if (raw_ == nullptr) raw_ = create_or_throw();
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

void Bitmap::remove_each(std::span<const Removal> removals) {
  constexpr size_t kGroup = 8;
  std::array<int32_t, kGroup> index;
  for (size_t start = 0; start < removals.size(); start += kGroup) {
    const auto group = removals.subspan(start, std::min(kGroup, removals.size() - start));
    auto containers_of = [](const Removal& removal) -> const roaring_array_t& {
      return removal.bitmap->raw_->high_low_container;
    };
    for (const Removal& removal : group) prefetch_line(removal.bitmap->raw_);
    for (const Removal& removal : group) prefetch_line(containers_of(removal).keys);
    for (size_t i = 0; i < group.size(); ++i) {
      const roaring_array_t& containers = containers_of(group[i]);
      index[i] = container_index(containers, static_cast<uint16_t>(group[i].id >> 16));
      if (index[i] < 0) continue;
      prefetch_line(&containers.containers[index[i]]);
      prefetch_line(&containers.typecodes[index[i]]);
    }
    for (size_t i = 0; i < group.size(); ++i) {
      if (index[i] >= 0) prefetch_line(containers_of(group[i]).containers[index[i]]);
    }
    for (size_t i = 0; i < group.size(); ++i) {
      if (index[i] >= 0) load_container_data(containers_of(group[i]), index[i], group[i].id);
    }
    for (const Removal& removal : group) removal.bitmap->remove(removal.id);
  }
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

Bitmap operator|(const Bitmap& a, const Bitmap& b) {
  return Bitmap(roaring_bitmap_or(a.raw_, b.raw_));
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
