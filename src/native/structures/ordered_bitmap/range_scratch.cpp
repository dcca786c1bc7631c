#include "native/structures/ordered_bitmap/range_scratch.h"

#include <cstdint>

#include "native/common/internal_error.h"

namespace vantorel {

namespace {

enum class ScratchState : uint8_t { kIdle, kBorrowed, kDestroyed };

// Trivially destructible, so it can still be read while the thread's other
// thread_local objects are being destroyed.
thread_local ScratchState scratch_state = ScratchState::kIdle;

struct ThreadScratch {
  ~ThreadScratch() { scratch_state = ScratchState::kDestroyed; }
  Bitmap bitmap;
};

Bitmap& borrow() {
  if (scratch_state == ScratchState::kDestroyed) {
    throw InternalError("range scratch bitmap used during thread teardown");
  }
  if (scratch_state == ScratchState::kBorrowed) {
    throw InternalError("range scratch bitmap is already in use");
  }
  thread_local ThreadScratch scratch;
  scratch_state = ScratchState::kBorrowed;
  return scratch.bitmap;
}

}  // namespace

RangeScratch::RangeScratch() : bitmap_(borrow()) {}

RangeScratch::~RangeScratch() {
  if (scratch_state == ScratchState::kBorrowed) scratch_state = ScratchState::kIdle;
}

}  // namespace vantorel
