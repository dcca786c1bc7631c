#include "core/bulk/bulk_adder.h"

#include "core/query/compare.h"

#include <vector>

namespace vantorel {

BulkQueryMapAdder::~BulkQueryMapAdder() {
  // Waiting keys enter the value order and buffers reach their bitmaps
  // while the write locks are still held.
  if (*numbers_) {
    (*numbers_)->values.settle();
    if (NumericalBitmap* slices = (*numbers_)->slices.get()) slices->flush();
  }
  if (*booleans_) {
    for (auto& slot : **booleans_) slot.flush();
  }
  if (*strings_) {
    (*strings_)->values.settle();
    if (PositionalBitmap* positions = (*strings_)->positions.get()) positions->flush();
  }
}

void BulkQueryMapAdder::insert(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      if (!*numbers_) *numbers_ = std::make_unique<NumberIndex>();
      const OrderKey key = key_of(value);
      (*numbers_)->values.add_deferred(key, id);
      if (NumericalBitmap* slices = (*numbers_)->slices.written()) slices->push(key, id);
      return;
    }
    case ValueKind::Str:
      if (!*strings_) *strings_ = std::make_unique<StringIndex>();
      (*strings_)->values.add_deferred(value.as_str(), id);
      if (PositionalBitmap* positions = (*strings_)->positions.written()) {
        positions->push(value.as_str(), id);
      }
      return;
    case ValueKind::Bool:
      if (!*booleans_) *booleans_ = std::make_unique<BoolMap>();
      (**booleans_)[bool_slot(value.as_bool())].push(id);
      return;
    case ValueKind::Iterable: {
      if (!*elements_) *elements_ = std::make_unique<ElementTable>();
      std::vector<ElementEntry> entries =
          QueryMap::hand_out_elements(**elements_, id, value.as_iterable());
      for (const ElementEntry& entry : entries) insert(entry.value, entry.masked_id);
      return;
    }
    case ValueKind::Ind:
    case ValueKind::Unknown:
      map_.insert_exact(value, id);
      return;
  }
}

}  // namespace vantorel
