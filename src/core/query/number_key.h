// The order key of a number value, shared by every path that enters, removes
// or compares numbers, so that all of them use one encoding.
#pragma once

#include "native/structures/ordered_bitmap/order_key.h"
#include "values/value.h"

namespace vantorel {

// `number` must be an Int or a Float.
inline OrderKey key_of(const PyValue& number) {
  return number.kind() == ValueKind::Int ? order_key(number.as_int())
                                         : order_key(number.as_float());
}

// NaN compares equal to nothing and orders against nothing, so a NaN query
// value matches nothing.
inline bool is_nan(const PyValue& value) {
  return value.kind() == ValueKind::Float && value.as_float() != value.as_float();
}

}  // namespace vantorel
