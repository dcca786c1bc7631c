#include "native/common/fx_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel {
namespace {

// A deliberately plain second implementation of the byte mixer: loads built
// byte by byte, and the 128-bit product from 32-bit halves (the portable
// fallback, itself checked against the native product below).
uint64_t slow_load(const std::string& s, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= uint64_t{static_cast<unsigned char>(s[at + i])} << (8 * i);
  return v;
}

uint64_t slow_mix(uint64_t x, uint64_t y) {
  uint64_t low, high;
  detail::multiply_wide(x, y, &low, &high);
  return low ^ high;
}

uint64_t slow_hash_bytes(const std::string& s) {
  const size_t n = s.size();
  uint64_t s0 = 0x243f6a8885a308d3, s1 = 0x13198a2e03707344;
  if (n > 16) {
    for (size_t off = 0;;) {
      uint64_t t =
          slow_mix(s0 ^ slow_load(s, off, 8), 0xa4093822299f31d0 ^ slow_load(s, off + 8, 8));
      s0 = s1;
      s1 = t;
      off += 16;
      if (off >= n - 16) break;
    }
    s0 ^= slow_load(s, n - 16, 8);
    s1 ^= slow_load(s, n - 8, 8);
  } else if (n >= 8) {
    s0 ^= slow_load(s, 0, 8);
    s1 ^= slow_load(s, n - 8, 8);
  } else if (n >= 4) {
    s0 ^= slow_load(s, 0, 4);
    s1 ^= slow_load(s, n - 4, 4);
  } else if (n > 0) {
    s0 ^= slow_load(s, 0, 1);
    s1 ^= (slow_load(s, n - 1, 1) << 8) | slow_load(s, n / 2, 1);
  }
  return slow_mix(s0, s1) ^ n;
}

TEST(FxHash, FixedVectors) {
  EXPECT_EQ(fx_hash_u64(0), 0u);
  EXPECT_EQ(fx_hash_u64(1), 0xa8b98aa717c4d5ebu);  // rotl(kFxSeed, 26)
  EXPECT_EQ(fx_hash_u64(UINT64_MAX), 0x57467558ec3b2a14u);
  FxHasher h;
  h.fold(1);
  h.fold(2);
  EXPECT_EQ(h.finish(), 0x0650bc148fda4ac4u);

  struct Case {
    const char* text;
    uint64_t bytes, str;
  };
  const Case cases[] = {
      {"", 0xbc13060e2d1aac79, 0xc15c636231f9c328},
      {"a", 0xdfe4b1209783ba09, 0x54494a0e72ff0634},
      {"abc", 0x800f6fadd6111505, 0x46984880e1507cc2},
      {"name", 0x0530e316fce036fb, 0xf758fa08f9e047ce},
      {"attribute", 0x365fcbe1acb2e2db, 0x9ccb746c7b36b1bc},
      {"0123456789abcdefX", 0x76a34ddcb0baae0b, 0xfe96c6eb38ef431c},
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 0xc75d1ec59c34c449, 0x10f1df8f71f25ac0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hash_bytes(c.text), c.bytes) << '"' << c.text << '"';
    EXPECT_EQ(fx_hash_str(c.text), c.str) << '"' << c.text << '"';
  }
}

TEST(FxHash, ByteMixerAgreesWithPlainImplementationAtEveryBoundary) {
  // Every length from 0 to 80 covers each branch and loop count; high bytes
  // catch sign-extension mistakes in the loads.
  std::string text;
  for (size_t n = 0; n <= 80; ++n) {
    EXPECT_EQ(hash_bytes(text), slow_hash_bytes(text)) << "length " << n;
    FxHasher h;
    h.fold(slow_hash_bytes(text));
    h.fold(0xff);
    EXPECT_EQ(fx_hash_str(text), h.finish()) << "length " << n;
    text.push_back(static_cast<char>(0x80 + n * 37));
  }
  // The mixer reads only the view, not what lies past it.
  const std::string padded = "abcdefghij";
  EXPECT_EQ(hash_bytes(std::string_view(padded).substr(0, 3)), hash_bytes("abc"));
}

TEST(FxHash, PortableArithmeticMatchesTheNativeOne) {
  const uint64_t words[] = {0,
                            1,
                            0xffffffff,
                            0x100000000,
                            0xffffffffffffffff,
                            kFxSeed,
                            0xa4093822299f31d0,
                            0x8000000000000001};
  for (uint64_t x : words) {
    for (uint64_t y : words) EXPECT_EQ(slow_mix(x, y), detail::mix128(x, y)) << x << " * " << y;
  }
  EXPECT_EQ(detail::byte_swap32(0x01020304), 0x04030201u);
  EXPECT_EQ(detail::byte_swap64(0x0102030405060708), 0x0807060504030201u);
}

}  // namespace
}  // namespace vantorel
