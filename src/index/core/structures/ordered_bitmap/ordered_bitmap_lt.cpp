// The less-than and at-most walks of NumericalBitmap.
#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"
#include "index/core/structures/ordered_bitmap/range_scratch.h"

namespace vantorel {

// The mirror of collect_above: where the key has a 1, the candidates that
// still agree with it and have a 0 are smaller whatever their lower bits.
void NumericalBitmap::collect_below(const OrderKey& key, Bitmap& out, const Bitmap& base,
                                    bool inclusive) const {
  Bitmap agree(base);
  RangeScratch scratch;
  Bitmap& less = scratch.bitmap();
  for (int n = OrderKey::kBits - 1; n >= 0 && !agree.empty(); --n) {
    if (!key.bit(n)) {
      agree &= ids_with(n, false);
      continue;
    }
    less.overwrite(agree);
    less &= ids_with(n, false);
    out |= less;
    agree &= ids_with(n, true);
  }
  if (inclusive) out |= agree;
}

}  // namespace vantorel
