// BoolMap: the ids of the objects whose value of one attribute is a bool, in
// two slots, and bool_slot(), the slot that holds a given value. Every path
// that enters, removes or reads booleans goes through bool_slot(), so that
// all of them agree on the layout.
#pragma once

#include <array>

#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

namespace vantorel {

using BoolMap = std::array<BufferedBitmap<64>, 2>;  // [0] true, [1] false

inline int bool_slot(bool value) {
  return value ? 0 : 1;
}

}  // namespace vantorel
