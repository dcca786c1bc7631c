#include "native/structures/positional_bitmap/id_slot.h"

namespace vantorel {

uint64_t IdSlot::cardinality() const {
  if (many_) return many_->cardinality();
  return has_single_ ? 1 : 0;
}

void IdSlot::insert(uint32_t id) {
  if (!many_ && !has_single_) {
    single_ = id;
    has_single_ = true;
    return;
  }
  if (has_single_ && single_ == id) return;
  make_bitmap();
  many_->add(id);
}

void IdSlot::remove(uint32_t id) {
  if (has_single_) {
    if (single_ == id) has_single_ = false;
    return;
  }
  if (!many_) return;
  many_->remove(id);
  shrink();
}

void IdSlot::add_many(const uint32_t* ids, size_t count) {
  if (count == 0) return;
  if (count == 1) {
    insert(ids[0]);
    return;
  }
  make_bitmap();
  many_->add_many(ids, count);
}

void IdSlot::intersect_into(Bitmap& running) const {
  if (many_) {
    running &= *many_;
    return;
  }
  if (!has_single_ || !running.contains(single_)) {
    running.clear();
  } else if (running.cardinality() > 1) {
    running.clear();
    running.add(single_);
  }
}

void IdSlot::copy_into(Bitmap& out) const {
  if (many_) {
    out.overwrite(*many_);
    return;
  }
  out.clear();
  if (has_single_) out.add(single_);
}

void IdSlot::union_into(Bitmap& out) const {
  if (many_) {
    out |= *many_;
  } else if (has_single_) {
    out.add(single_);
  }
}

void IdSlot::remove_all(const Bitmap& drop) {
  if (has_single_) {
    has_single_ = !drop.contains(single_);
    return;
  }
  if (!many_) return;
  *many_ -= drop;
  shrink();
}

size_t IdSlot::memory_bytes() const {
  if (!many_) return 0;
  return sizeof(Bitmap) + many_->memory_bytes();
}

void IdSlot::make_bitmap() {
  if (many_) return;
  many_ = std::make_unique<Bitmap>();
  if (has_single_) many_->add(single_);
  has_single_ = false;
}

void IdSlot::shrink() {
  const Bitmap& ids = *many_;
  if (ids.cardinality() > 1) return;
  has_single_ = !ids.empty();
  if (has_single_) single_ = *ids.minimum();
  many_.reset();
}

}  // namespace vantorel
