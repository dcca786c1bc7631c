// ShardedHashMap: a hash map split into independently locked shards, so that
// writers touching different keys rarely wait for each other.
//
// Every key carries a cached 64-bit hash, given by the `Hash` functor
// (uint64_t operator()(const K&) const). That hash alone picks the shard, so
// equal keys always share a shard and no lock is needed to find it. Inside a
// shard the cached hash is mixed with a random seed drawn when the map is
// made, so bucket placement differs from map to map.
//
// Each shard is a PoisonRwLock around a std::unordered_map: a thread that
// fails while writing a shard poisons it, and every later access to that
// shard throws InternalError(kPoisonedLock); other shards stay usable.
//
// Whole-map operations visit the shards in order, one lock at a time, so no
// operation ever holds two shards of the same map.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "native/common/internal_error.h"
#include "native/sync/poison_lock.h"

namespace vantorel {

template <class K, class V, class Hash, class Eq = std::equal_to<K>>
class ShardedHashMap {
 public:
  // Hashes a key inside a shard: its cached hash mixed with the map's seed.
  struct ShardHash {
    Hash hash;
    uint64_t seed = 0;
    size_t operator()(const K& key) const { return mix(hash(key) ^ seed); }
  };
  using Map = std::unordered_map<K, V, ShardHash, Eq>;
  using Shard = PoisonRwLock<Map>;
  using ReadGuard = typename Shard::ReadGuard;
  using WriteGuard = typename Shard::WriteGuard;

  static constexpr size_t kDefaultShardCount = 16;

  // `shard_count` must be a power of two; every shard's lock has `rank`.
  explicit ShardedHashMap(size_t shard_count = kDefaultShardCount, LockRank rank = {});

  ShardedHashMap(const ShardedHashMap&) = delete;
  ShardedHashMap& operator=(const ShardedHashMap&) = delete;
  ShardedHashMap(ShardedHashMap&&) noexcept = default;
  ShardedHashMap& operator=(ShardedHashMap&&) noexcept = default;

  // The shard of cached hash `h`: (h * 0xf1357aea2e62a9c5) rotated left by
  // 26 bits, masked with shard count - 1.
  static size_t shard_index(uint64_t h, size_t mask) {
    return static_cast<size_t>(std::rotl(h * 0xf1357aea2e62a9c5ull, 26) & mask);
  }
  size_t shard_of(uint64_t h) const { return shard_index(h, mask_); }

  // The locked shard of cached hash `h`, for the caller to look up, insert or
  // change entries. The lock is released when the guard goes.
  WriteGuard write_shard(uint64_t h) { return shards_[shard_of(h)]->write(); }
  ReadGuard read_shard(uint64_t h) const { return shards_[shard_of(h)]->read(); }

  // Calls fn(Map&) for shards 0, 1, ... in order, each under its write lock,
  // releasing it before taking the next.
  template <class Fn>
  void for_each_shard_write(Fn fn);

  // Calls fn(const Map&) for every shard in order, each under its read lock.
  template <class Fn>
  void for_each_shard_read(Fn fn) const;

 private:
  // A bijective 64-bit finaliser: spreads every input bit over the result.
  static uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
  }

  static uint64_t random_seed() {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }

  // Each shard in its own allocation, so the locks of neighbouring shards do
  // not share cache lines.
  std::vector<std::unique_ptr<Shard>> shards_;
  size_t mask_;
};

template <class K, class V, class Hash, class Eq>
ShardedHashMap<K, V, Hash, Eq>::ShardedHashMap(size_t shard_count, LockRank rank)
    : mask_(shard_count - 1) {
  if (!std::has_single_bit(shard_count)) {
    throw InternalError("shard count must be a power of two");
  }
  ShardHash hasher{Hash{}, random_seed()};
  shards_.reserve(shard_count);
  for (size_t i = 0; i < shard_count; ++i) {
    shards_.push_back(std::make_unique<Shard>(rank, 0, hasher, Eq{}));
  }
}

template <class K, class V, class Hash, class Eq>
template <class Fn>
void ShardedHashMap<K, V, Hash, Eq>::for_each_shard_write(Fn fn) {
  for (const auto& shard : shards_) {
    WriteGuard guard = shard->write();
    fn(*guard);
  }
}

template <class K, class V, class Hash, class Eq>
template <class Fn>
void ShardedHashMap<K, V, Hash, Eq>::for_each_shard_read(Fn fn) const {
  for (const auto& shard : shards_) {
    ReadGuard guard = shard->read();
    fn(*guard);
  }
}

}  // namespace vantorel
