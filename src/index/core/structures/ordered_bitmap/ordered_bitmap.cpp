#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <algorithm>
#include <utility>

namespace vantorel {

void NumericalBitmap::insert(const OrderKey& key, uint32_t id) {
  for (int n = 0; n < OrderKey::kBits; ++n) slices_[n][key.bit(n)].bitmap().add(id);
}

void NumericalBitmap::remove(const OrderKey& key, uint32_t id) {
  for (int n = 0; n < OrderKey::kBits; ++n) slices_[n][key.bit(n)].bitmap().remove(id);
}

void NumericalBitmap::push(const OrderKey& key, uint32_t id) {
  for (int n = 0; n < OrderKey::kBits; ++n) slices_[n][key.bit(n)].push(id);
}

void NumericalBitmap::flush() {
  for (Slice& slice : slices_) {
    slice[0].flush();
    slice[1].flush();
  }
}

Bitmap NumericalBitmap::equal(const OrderKey& key) const {
  // Intersect the smallest bitmaps first: the running result shrinks fastest
  // and the first step copies only an intersection, not a whole bitmap.
  std::array<std::pair<uint64_t, const Bitmap*>, OrderKey::kBits> parts;
  for (int n = 0; n < OrderKey::kBits; ++n) {
    const Bitmap& ids = ids_with(n, key.bit(n));
    parts[n] = {ids.cardinality(), &ids};
  }
  std::sort(parts.begin(), parts.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  Bitmap result = *parts[0].second & *parts[1].second;
  for (size_t i = 2; i < parts.size() && !result.empty(); ++i) result &= *parts[i].second;
  return result;
}

void NumericalBitmap::get_gt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
  collect_above(key, out, base, false);
}

void NumericalBitmap::get_gte_into_base(const OrderKey& key, Bitmap& out,
                                        const Bitmap& base) const {
  collect_above(key, out, base, true);
}

void NumericalBitmap::get_lt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
  collect_below(key, out, base, false);
}

void NumericalBitmap::get_lte_into_base(const OrderKey& key, Bitmap& out,
                                        const Bitmap& base) const {
  collect_below(key, out, base, true);
}

void NumericalBitmap::retain_in(const Bitmap& keep) {
  for (Slice& slice : slices_) {
    for (BufferedBitmap<64>& ids : slice) {
      ids.flush();
      ids.bitmap() &= keep;
    }
  }
}

void NumericalBitmap::merge_from(const NumericalBitmap& other) {
  if (&other == this) return;
  for (int n = 0; n < OrderKey::kBits; ++n) {
    for (int value = 0; value < 2; ++value) {
      slices_[n][value].bitmap() |= other.slices_[n][value].bitmap();
    }
  }
}

Bitmap NumericalBitmap::all() const {
  return ids_with(0, false) | ids_with(0, true);
}

size_t NumericalBitmap::memory_bytes() const {
  size_t bytes = sizeof(*this);
  for (const Slice& slice : slices_) {
    for (const BufferedBitmap<64>& ids : slice) {
      bytes += ids.bitmap().memory_bytes();
      if (ids.pending() > 0) bytes += 64 * sizeof(uint32_t);
    }
  }
  return bytes;
}

}  // namespace vantorel
