#include "native/structures/ordered_bitmap/order_key.h"

#include <bit>
#include <cstdint>

namespace vantorel {

namespace {

constexpr uint16_t kHeadMask = 0xFFF;
constexpr uint16_t kZeroHead = 0x800;
constexpr uint64_t kLeadingOne = uint64_t{1} << 63;

// The key of -x given the key of x > 0: the complement of all 76 bits.
OrderKey complement(OrderKey key) {
  return OrderKey{static_cast<uint16_t>(~key.head & kHeadMask), ~key.tail};
}

constexpr uint16_t kInfinityExponent = 0x7FF;

bool is_negative(OrderKey key) {
  return key.head < kZeroHead;
}

KeyNumber real_number(double value) {
  return KeyNumber{false, 0, value};
}

}  // namespace

bool is_nan_key(OrderKey key) {
  if (is_negative(key)) key = complement(key);
  return (key.head & kInfinityExponent) == kInfinityExponent && key.tail != kLeadingOne;
}

KeyNumber number_of(OrderKey key) {
  if (key == OrderKey{}) return KeyNumber{true, 0, 0.0};
  const bool negative = is_negative(key);
  if (negative) key = complement(key);
  const uint64_t sign = negative ? kLeadingOne : 0;
  const uint16_t exponent = key.head & kInfinityExponent;
  if (exponent == 0) return real_number(std::bit_cast<double>(sign | key.tail));  // subnormal
  const int power = exponent - 1023;  // of the leading one
  if (power >= 0 && power <= 63 && (power == 63 || key.tail << (power + 1) == 0)) {
    const uint64_t magnitude = key.tail >> (63 - power);
    if (!negative && magnitude <= uint64_t{INT64_MAX}) {
      return KeyNumber{true, static_cast<int64_t>(magnitude), 0.0};
    }
    if (negative && magnitude <= kLeadingOne) {
      return KeyNumber{true, static_cast<int64_t>(~magnitude + 1), 0.0};
    }
  }
  // A double keeps 52 fraction bits below the leading one (infinities and
  // NaNs included); a key from an integer with more significant bits is
  // integral and was read above.
  const uint64_t fraction = key.tail << 1 >> 12;
  return real_number(std::bit_cast<double>(sign | uint64_t{exponent} << 52 | fraction));
}

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
