#include "native/structures/shards/hashmap.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "native/structures/hybrid_set/hybrid_set.h"

namespace vantorel {
namespace {

// A key with a precomputed hash, like the index's attribute values.
struct Key {
  uint64_t hash;
  int value;
  bool operator==(const Key& other) const { return value == other.value; }
};
struct KeyHash {
  uint64_t operator()(const Key& key) const { return key.hash; }
};
using ValueMap = ShardedHashMap<Key, HybridSet, KeyHash>;

// A hash that lands in `shard` of a 16-shard map.
uint64_t hash_in_shard(size_t shard) {
  for (uint64_t h = 0;; ++h) {
    if (ValueMap::shard_index(h, 15) == shard) return h;
  }
}

// The ids stored under `key`, or nothing.
std::optional<std::vector<uint32_t>> ids_at(const ValueMap& map, const Key& key) {
  auto shard = map.read_shard(key.hash);
  auto found = shard->find(key);
  if (found == shard->end()) return std::nullopt;
  std::vector<uint32_t> ids;
  found->second.for_each([&](uint32_t id) { ids.push_back(id); });
  return ids;
}

void add(ValueMap& map, Key key, uint32_t id) {
  auto shard = map.write_shard(key.hash);
  auto [entry, inserted] = shard->try_emplace(key, HybridSet::single(id));
  if (!inserted) entry->second.add(id);
}

TEST(ShardedHashMapTest, ShardChoice) {
  ValueMap map;
  EXPECT_EQ(ValueMap::shard_index(0, 15), 0u);
  EXPECT_EQ(ValueMap::shard_index(1, 15), 11u);
  EXPECT_EQ(map.shard_of(1), 11u);
  EXPECT_THROW(ValueMap(12), InternalError);
}

TEST(ShardedHashMapTest, KeysOfOneHashStayApart) {
  ValueMap map;
  Key key{42, 1};
  add(map, key, 5);
  add(map, Key{42, 2}, 6);  // same cached hash, different value
  EXPECT_EQ(ids_at(map, key), std::vector<uint32_t>{5});
  EXPECT_EQ(ids_at(map, Key{42, 2}), std::vector<uint32_t>{6});
  EXPECT_FALSE(ids_at(map, Key{42, 3}).has_value());
}

TEST(ShardedHashMapTest, WritersOnDifferentShardsDoNotWait) {
  ValueMap map;
  uint64_t held = hash_in_shard(3);
  uint64_t other = hash_in_shard(4);
  auto guard = map.write_shard(held);
  // Would deadlock if the writer needed shard 3.
  std::thread writer([&] { add(map, Key{other, 1}, 1); });
  writer.join();
  guard.release();
  EXPECT_EQ(ids_at(map, Key{other, 1}), std::vector<uint32_t>{1});
}

TEST(ShardedHashMapTest, ConcurrentWritersLoseNoUpdates) {
  ValueMap map;
  constexpr int kThreads = 8;
  constexpr uint32_t kIds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&map, t] {
      for (uint32_t id = 0; id < kIds; ++id) {
        int value = static_cast<int>(id % 32);
        add(map, Key{static_cast<uint64_t>(value) * 7919, value}, id * kThreads + t);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  size_t total = 0;
  size_t entries = 0;
  map.for_each_shard_read([&](const ValueMap::Map& shard) {
    for (const auto& [key, set] : shard) total += set.size();
    entries += shard.size();
  });
  EXPECT_EQ(entries, 32u);
  EXPECT_EQ(total, size_t{kThreads} * kIds);
}

TEST(ShardedHashMapTest, FailedWriterPoisonsOnlyItsShard) {
  ValueMap map;
  uint64_t bad = hash_in_shard(2);
  uint64_t good = hash_in_shard(9);
  try {
    auto guard = map.write_shard(bad);
    throw std::runtime_error("writer failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_THROW(ids_at(map, Key{bad, 1}), InternalError);
  add(map, Key{good, 1}, 1);
  EXPECT_TRUE(ids_at(map, Key{good, 1}).has_value());

  size_t visited = 0;
  try {
    map.for_each_shard_write([&](ValueMap::Map&) { ++visited; });
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), kPoisonedLock);
  }
  EXPECT_EQ(visited, 2u);  // shards 0 and 1, then the poisoned shard 2
}

}  // namespace
}  // namespace vantorel
