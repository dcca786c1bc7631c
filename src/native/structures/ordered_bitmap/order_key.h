// OrderKey: the 76-bit key under which a number is indexed.
//
// Integers and floats share one scale: the unsigned order of the key (head
// first, then tail) is the numeric order of the value, and an integer and a
// float of equal value get the same key, so 3 and 3.0 are found by the same
// equality and range queries.
//
// Layout: the key is head * 2^64 + tail, head holding 12 bits. Zero (0, 0.0
// and -0.0) is head 0x800, tail 0. A positive value v = 1.f * 2^e gets head
// 0x800 + (e + 1023) and a tail whose bit 63 is the leading one followed by
// the mantissa bits; a negative value gets the 76-bit complement of the key
// of its magnitude. Integers use their full 64-bit magnitude as mantissa, so
// integers above 2^53 keep their low bits. Positive infinity is head 0xFFF,
// tail 2^63; positive NaNs sort above it, negative NaNs below -infinity.
//
// Subnormal floats (biased exponent 0, nonzero fraction f) get head 0x800 and
// tail f: above zero (tail 0) and below the smallest normal (head 0x801).
// Negative subnormals get the complement, head 0x7FF and tail ~f: above
// -smallest normal (head 0x7FE) and below zero. Every path (insert, remove,
// query bounds) uses these functions, so the encoding is always the same.
#pragma once

#include <compare>
#include <cstdint>

namespace vantorel {

struct OrderKey {
  static constexpr int kBits = 76;

  // A default key is the key of zero.
  uint16_t head = 0x800;  // low 12 bits used
  uint64_t tail = 0;

  // Bit n of the 76-bit key: bits 0 to 63 are the tail, 64 to 75 the head.
  bool bit(int n) const { return n < 64 ? ((tail >> n) & 1) != 0 : ((head >> (n - 64)) & 1) != 0; }

  friend auto operator<=>(const OrderKey&, const OrderKey&) = default;
};

// The number a key stands for: an integer when the value is integral and
// fits int64_t (so 3.0 reads back as 3), otherwise a double.
struct KeyNumber {
  bool is_integer;
  int64_t integer;
  double real;
};

// Whether the key is that of a NaN (of either sign, any payload).
bool is_nan_key(OrderKey key);
// The number of a key made by order_key. NaN keys read back as a NaN.
KeyNumber number_of(OrderKey key);

// Pass exactly int64_t or double: an `int` argument is ambiguous on purpose,
// so that no caller picks the wrong scale by accident.
OrderKey order_key(int64_t value);
OrderKey order_key(double value);

}  // namespace vantorel
