#include "native/structures/positional_bitmap/id_slot.h"

namespace vantorel {

IdSlot::IdSlot(const IdSlot& other)
    : many_(other.many_ ? std::make_unique<CellBitmap>(*other.many_) : nullptr),
      single_(other.single_),
      has_single_(other.has_single_) {}

IdSlot& IdSlot::operator=(const IdSlot& other) {
  if (this != &other) *this = IdSlot(other);
  return *this;
}

bool IdSlot::empty() const {
  if (has_single_) return false;
  return !many_ || (many_->pending() == 0 && many_->bitmap().empty());
}

uint64_t IdSlot::cardinality() const {
  if (many_) return many_->bitmap().cardinality();
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
  many_->bitmap().add(id);
}

void IdSlot::remove(uint32_t id) {
  if (has_single_) {
    if (single_ == id) has_single_ = false;
    return;
  }
  if (!many_) return;
  many_->bitmap().remove(id);
  shrink();
}

void IdSlot::push(uint32_t id) {
  if (!many_ && (!has_single_ || single_ == id)) {
    insert(id);
    return;
  }
  make_bitmap();
  many_->push(id);
}

void IdSlot::add_many(const uint32_t* ids, size_t count) {
  if (count == 0) return;
  if (count == 1) {
    insert(ids[0]);
    return;
  }
  make_bitmap();
  many_->bitmap().add_many(ids, count);
}

void IdSlot::flush() {
  if (many_) many_->flush();
}

void IdSlot::intersect_into(Bitmap& running) const {
  if (many_) {
    running &= many_->bitmap();
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
    out.overwrite(many_->bitmap());
    return;
  }
  out.clear();
  if (has_single_) out.add(single_);
}

void IdSlot::union_into(Bitmap& out) const {
  if (many_) {
    out |= many_->bitmap();
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
  many_->flush();
  many_->bitmap() -= drop;
  shrink();
}

void IdSlot::retain_in(const Bitmap& keep) {
  if (has_single_) {
    has_single_ = keep.contains(single_);
    return;
  }
  if (!many_) return;
  many_->flush();
  many_->bitmap() &= keep;
  shrink();
}

void IdSlot::merge_from(const IdSlot& other) {
  if (other.has_single_) {
    insert(other.single_);
  } else if (other.many_ && !other.many_->bitmap().empty()) {
    make_bitmap();
    many_->bitmap() |= other.many_->bitmap();
  }
}

size_t IdSlot::memory_bytes() const {
  if (!many_) return 0;
  return sizeof(CellBitmap) + many_->memory_bytes();
}

void IdSlot::make_bitmap() {
  if (many_) return;
  many_ = std::make_unique<CellBitmap>();
  if (has_single_) many_->bitmap().add(single_);
  has_single_ = false;
}

void IdSlot::shrink() {
  if (!many_ || many_->pending() > 0) return;
  const Bitmap& ids = many_->bitmap();
  if (ids.cardinality() > 1) return;
  has_single_ = !ids.empty();
  if (has_single_) single_ = *ids.minimum();
  many_.reset();
}

}  // namespace vantorel
