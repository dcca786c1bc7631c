// RangeScratch: exclusive use of this thread's scratch bitmap for one range
// walk of a NumericalBitmap.
//
// A range walk needs one temporary bitmap per round; reusing one bitmap per
// thread keeps its containers allocated across calls instead of allocating
// 76 times a query. Taking it while this thread already holds it (a nested
// walk), or after it was destroyed at thread exit,
// throws InternalError; the walks never call out to code that could re-enter
// them.
#pragma once

#include "native/structures/roaring/bitmap.h"

namespace vantorel {

class RangeScratch {
 public:
  RangeScratch();
  ~RangeScratch();
  RangeScratch(const RangeScratch&) = delete;
  RangeScratch& operator=(const RangeScratch&) = delete;

  Bitmap& bitmap() { return bitmap_; }

 private:
  Bitmap& bitmap_;
};

}  // namespace vantorel
