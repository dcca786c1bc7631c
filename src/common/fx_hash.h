// Fx hash: the fast, non-cryptographic multiplicative hash that keys the
// attribute-id maps, the string maps and the shard choice of sharded maps.
//
// A hasher keeps one 64-bit state s, starting at 0. Folding a word w sets
// s = (s + w) * kFxSeed (mod 2^64); finishing rotates s left by 26 bits.
// Strings are first reduced to one word by hash_bytes(), a byte mixer built on
// 64x64->128-bit multiplication, then folded together with the 0xff end mark.
//
// The results are part of the system's behaviour (they order hash tables and
// choose shards), so every function here is fixed: no per-process seed.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

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

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline uint64_t load_le32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Low half XOR high half of the full 128-bit product.
inline uint64_t mix128(uint64_t x, uint64_t y) {
  unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
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
