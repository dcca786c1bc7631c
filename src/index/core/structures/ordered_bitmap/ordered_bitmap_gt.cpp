// The greater-than and at-least walks of NumericalBitmap.
#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"
#include "index/core/structures/ordered_bitmap/range_scratch.h"

namespace vantorel {

// Walks the key from its most significant bit down. `agree` holds the
// candidates whose key agrees with `key` on every bit seen so far. Where the
// key has a 0, the candidates with a 1 first differ from it upwards: they are
// greater whatever their lower bits, so they go to `out`. The walk stops as
// soon as no candidate still agrees, since nothing more can be added.
void NumericalBitmap::collect_above(const OrderKey& key, Bitmap& out, const Bitmap& base,
                                    bool inclusive) const {
  Bitmap agree(base);
  RangeScratch scratch;
  Bitmap& greater = scratch.bitmap();
  for (int n = OrderKey::kBits - 1; n >= 0 && !agree.empty(); --n) {
    if (key.bit(n)) {
      agree &= ids_with(n, true);
      continue;
    }
    greater.overwrite(agree);
    greater &= ids_with(n, true);
    out |= greater;
    agree &= ids_with(n, false);
  }
  if (inclusive) out |= agree;
}

}  // namespace vantorel
