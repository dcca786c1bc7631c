// BoolMap: the ids of the objects whose value of one attribute is a bool, in
// two slots, and bool_slot(), the slot that holds a given value. Every path
// that enters, removes or reads booleans goes through bool_slot(), so that
// all of them agree on the layout.
#pragma once

#include <array>
#include <cstddef>

#include "native/structures/buffered_bitmap/buffered_bitmap.h"

namespace vantorel {

// A bulk insertion buffers up to this many ids in front of each slot's
// bitmap and adds them with one call: fewer calls into the bitmap, for a
// buffer of this many ids per slot while the bulk lasts. An attribute has
// only two slots, so the buffers can be large.
inline constexpr size_t kBoolSlotBuffer = 64;

using BoolMap = std::array<BufferedBitmap<kBoolSlotBuffer>, 2>;  // [0] true, [1] false

inline int bool_slot(bool value) {
  return value ? 0 : 1;
}

}  // namespace vantorel
