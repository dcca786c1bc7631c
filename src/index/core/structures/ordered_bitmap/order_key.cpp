#include "index/core/structures/ordered_bitmap/order_key.h"

#include <bit>

namespace vantorel {

namespace {

constexpr uint16_t kHeadMask = 0xFFF;
constexpr uint16_t kZeroHead = 0x800;
constexpr uint64_t kLeadingOne = uint64_t{1} << 63;

// The key of -x given the key of x > 0: the complement of all 76 bits.
OrderKey complement(OrderKey key) {
  return OrderKey{static_cast<uint16_t>(~key.head & kHeadMask), ~key.tail};
}

}  // namespace

OrderKey order_key(int64_t value) {
  if (value == 0) return OrderKey{};
  // Two's complement negation in unsigned arithmetic also handles INT64_MIN,
  // whose magnitude 2^63 does not fit in int64_t.
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) magnitude = ~magnitude + 1;
  int zeros = std::countl_zero(magnitude);
  uint16_t exponent = static_cast<uint16_t>(1086 - zeros);  // 1023 + index of the top bit
  OrderKey key{static_cast<uint16_t>(kZeroHead | exponent), magnitude << zeros};
  return value < 0 ? complement(key) : key;
}

OrderKey order_key(double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  bool negative = (bits >> 63) != 0;
  uint16_t exponent = static_cast<uint16_t>((bits >> 52) & 0x7FF);
  uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (exponent == 0 && fraction == 0) return OrderKey{};  // +0.0 and -0.0
  OrderKey key;
  if (exponent == 0) {
    key = OrderKey{kZeroHead, fraction};  // subnormal: between 0 and the smallest normal
  } else {
    key = OrderKey{static_cast<uint16_t>(kZeroHead | exponent), kLeadingOne | (fraction << 11)};
  }
  return negative ? complement(key) : key;
}

}  // namespace vantorel
