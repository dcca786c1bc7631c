// Fx hash: the fast, non-cryptographic multiplicative hash that keys the
// attribute-id maps and the string maps.
//
// A hasher keeps one 64-bit state s, starting at 0. Folding a word w sets
// s = (s + w) * kFxSeed (mod 2^64); finishing rotates s left by 26 bits.
// Strings are first reduced to one word by hash_bytes(), a byte mixer built on
// 64x64->128-bit multiplication, then folded together with the 0xff end mark.
//
// The results are part of the system's behaviour (they order hash tables),
// so every function here is fixed: no per-process seed.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(_MSC_VER) && defined(_M_X64)
#include <intrin.h>
#endif

namespace vantorel {

inline constexpr uint64_t kFxSeed = 0xf1357aea2e62a9c5;

struct FxHasher {
  uint64_t state = 0;

  void fold(uint64_t w) { state = (state + w) * kFxSeed; }
  uint64_t finish() const { return std::rotl(state, 26); }
};

// The Fx hash of one word: rotl(w * kFxSeed, 26).
inline uint64_t fx_hash_u64(uint64_t w) {
  FxHasher h;
  h.fold(w);
  return h.finish();
}

namespace detail {

// Byte swaps in plain C++: compilers turn these into a single instruction.
constexpr uint32_t byte_swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

constexpr uint64_t byte_swap64(uint64_t v) {
  return (uint64_t{byte_swap32(static_cast<uint32_t>(v))} << 32) |
         byte_swap32(static_cast<uint32_t>(v >> 32));
}

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byte_swap64(v);
  return v;
}

inline uint64_t load_le32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byte_swap32(v);
  return v;
}

// The full 128-bit product of two words from four 32x32->64-bit products, for
// targets without a 128-bit integer type or intrinsic (32-bit ones).
inline void multiply_wide(uint64_t x, uint64_t y, uint64_t* low, uint64_t* high) {
  const uint64_t x0 = x & 0xffffffff, x1 = x >> 32;
  const uint64_t y0 = y & 0xffffffff, y1 = y >> 32;
  const uint64_t p00 = x0 * y0, p01 = x0 * y1, p10 = x1 * y0, p11 = x1 * y1;
  const uint64_t middle = (p00 >> 32) + (p01 & 0xffffffff) + (p10 & 0xffffffff);
  *low = (middle << 32) | (p00 & 0xffffffff);
  *high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

// Low half XOR high half of the full 128-bit product.
inline uint64_t mix128(uint64_t x, uint64_t y) {
#if defined(__SIZEOF_INT128__)
  unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
  uint64_t high;
  uint64_t low = _umul128(x, y, &high);
  return low ^ high;
#else
  uint64_t low, high;
  multiply_wide(x, y, &low, &high);
  return low ^ high;
#endif
}

}  // namespace detail

// Reduces a byte string to one 64-bit word. Strings of up to 16 bytes are
// read with at most two (possibly overlapping) loads; longer ones are consumed
// 16 bytes at a time, and the last 16 bytes are always mixed in at the end.
inline uint64_t hash_bytes(std::string_view text) {
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  uint64_t s0 = 0x243f6a8885a308d3;
  uint64_t s1 = 0x13198a2e03707344;
  if (n <= 16) {
    if (n >= 8) {
      s0 ^= detail::load_le64(b);
      s1 ^= detail::load_le64(b + n - 8);
    } else if (n >= 4) {
      s0 ^= detail::load_le32(b);
      s1 ^= detail::load_le32(b + n - 4);
    } else if (n > 0) {
      s0 ^= b[0];
      s1 ^= (uint64_t{b[n - 1]} << 8) | b[n / 2];
    }
  } else {
    size_t off = 0;
    do {
      uint64_t x = detail::load_le64(b + off);
      uint64_t y = detail::load_le64(b + off + 8);
      uint64_t t = detail::mix128(s0 ^ x, 0xa4093822299f31d0 ^ y);
      s0 = s1;
      s1 = t;
      off += 16;
    } while (off < n - 16);
    s0 ^= detail::load_le64(b + n - 16);
    s1 ^= detail::load_le64(b + n - 8);
  }
  return detail::mix128(s0, s1) ^ n;
}

// The Fx hash of a string as a map key: fold(hash_bytes), fold(0xff), finish.
inline uint64_t fx_hash_str(std::string_view text) {
  FxHasher h;
  h.fold(hash_bytes(text));
  h.fold(0xff);
  return h.finish();
}

}  // namespace vantorel
