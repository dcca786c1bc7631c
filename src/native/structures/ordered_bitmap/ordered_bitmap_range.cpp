// The range queries of NumericalBitmap: one walk down the key bits, run
// towards larger keys (greater than, at least) or smaller ones (less than, at
// most).
#include "native/structures/ordered_bitmap/ordered_bitmap.h"

#include "native/common/internal_error.h"

namespace vantorel {

void NumericalBitmap::get_gt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
  collect_beyond(key, Direction::kAbove, false, out, base);
}

void NumericalBitmap::get_gte_into_base(const OrderKey& key, Bitmap& out,
                                        const Bitmap& base) const {
  collect_beyond(key, Direction::kAbove, true, out, base);
}

void NumericalBitmap::get_lt_into_base(const OrderKey& key, Bitmap& out, const Bitmap& base) const {
  collect_beyond(key, Direction::kBelow, false, out, base);
}

void NumericalBitmap::get_lte_into_base(const OrderKey& key, Bitmap& out,
                                        const Bitmap& base) const {
  collect_beyond(key, Direction::kBelow, true, out, base);
}

// Walks the key from its most significant bit down. `agree` holds the
// candidates whose key agrees with `key` on every bit seen so far. At a bit
// where the key has the value that points away from `direction` (0 when
// collecting above, 1 below), the agreeing candidates with the other value
// first differ from the key there, on the wanted side: they lie beyond it
// whatever their lower bits, so they go to `out`. The walk stops as soon as
// no candidate still agrees, since nothing more can be added.
void NumericalBitmap::collect_beyond(const OrderKey& key, Direction direction, bool inclusive,
                                     Bitmap& out, const Bitmap& base) const {
  // Queued moves would leave the slices stale.
  if (!moves_.empty()) throw InternalError("bit slices read with moves still queued");
  const bool beyond_bit = direction == Direction::kAbove;
  Bitmap agree(base);
  Bitmap beyond;
  for (int n = OrderKey::kBits - 1; n >= 0 && !agree.empty(); --n) {
    if (key.bit(n) == beyond_bit) {
      agree &= ids_with(n, beyond_bit);
      continue;
    }
    beyond.overwrite(agree);
    beyond &= ids_with(n, beyond_bit);
    out |= beyond;
    agree &= ids_with(n, !beyond_bit);
  }
  if (inclusive) out |= agree;
}

}  // namespace vantorel
