// PackedKey: an OrderKey in ten bytes, with two-byte alignment, and in
// eight for almost every number.
//
// Of the 76 bits of a key made by order_key(), bit 63 of the tail (the
// leading one of a magnitude) follows from the head: it is set for every
// head above 0x800 (positive numbers) and for 0x7FF (negative subnormals),
// clear for the others. Left out, it leaves 75 bits in the same order: the
// high 64 (the head and the 52 bits of a normal double's fraction) and the
// low 11. Held as five 16-bit words, so that an array of keys has no
// padding.
//
// The low bits of a key are all clear for a number of at least zero and
// all set for a negative one (the complement of clear bits) whenever the
// magnitude has at most 53 significant bits: for every normal double and
// every integer that a double holds exactly. Such a key is narrow: its high
// 64 bits alone are the key, and order narrow keys as the keys do. Only
// integers of more than 53 significant bits and subnormal doubles may be
// wide.
#pragma once

#include <cstdint>
#include <cstring>

#include "native/structures/ordered_bitmap/order_key.h"

namespace vantorel {

class PackedKey {
 public:
  // The key of zero.
  PackedKey() : PackedKey(OrderKey{}) {}
  // Implicit, so that an OrderKey looks a PackedKey up. `key` is one that
  // order_key() made.
  PackedKey(const OrderKey& key)  // NOLINT
      : PackedKey(uint64_t{key.head} << 52 | (key.tail << 1 >> 12),
                  static_cast<uint16_t>(key.tail & kLowMask)) {}

  // The narrow key whose high bits are `high`.
  static PackedKey narrow(uint64_t high) { return PackedKey(high, narrow_low(high)); }

  bool is_narrow() const { return low_ == narrow_low(high()); }
  uint64_t high() const {
    uint64_t high;
    std::memcpy(&high, high_, sizeof(high));
    return high;
  }

  OrderKey unpacked() const {
    const uint64_t high = this->high();
    const uint16_t head = static_cast<uint16_t>(high >> 52);
    const bool leading_one = head > 0x800 || head == 0x7FF;
    const uint64_t tail =
        (leading_one ? uint64_t{1} << 63 : 0) | (high & ((uint64_t{1} << 52) - 1)) << 11 | low_;
    return OrderKey{head, tail};
  }

  // Without branches, for the searches that step in lockstep.
  friend bool operator<(const PackedKey& a, const PackedKey& b) {
    const uint64_t a_high = a.high();
    const uint64_t b_high = b.high();
    return (a_high < b_high) | ((a_high == b_high) & (a.low_ < b.low_));
  }
  friend bool operator==(const PackedKey& a, const PackedKey& b) {
    return a.high() == b.high() && a.low_ == b.low_;
  }

 private:
  static constexpr uint64_t kLowMask = 0x7FF;
  static constexpr uint64_t kZeroHigh = uint64_t{0x800} << 52;

  PackedKey(uint64_t high, uint16_t low) : low_(low) { std::memcpy(high_, &high, sizeof(high)); }
  // The low bits of a narrow key: set below zero, clear from zero up.
  static uint16_t narrow_low(uint64_t high) { return high < kZeroHigh ? kLowMask : 0; }

  uint16_t high_[4];  // a uint64_t's bytes
  uint16_t low_;
};

static_assert(sizeof(PackedKey) == 10);

}  // namespace vantorel
