#include "native/structures/chunked_map/chunked_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace vantorel {
namespace {

using Map = ChunkedMap<int, int>;
using Entries = std::vector<std::pair<int, int>>;

Entries walk(Map::const_iterator from, Map::const_iterator to) {
  Entries out;
  for (; from != to; ++from) out.emplace_back(from.key(), from.value());
  return out;
}

template <class Iterator>
Entries walk(Iterator from, Iterator to) {
  return {from, to};
}

Map::const_iterator upper_bound(const Map& map, int key) {
  return map.partition_point([&](int k, int) { return !(key < k); });
}

// The map against its model: both walks, and the bounds around `key`.
void expect_same(const Map& map, const std::map<int, int>& model, int key) {
  ASSERT_EQ(map.size(), model.size());
  ASSERT_EQ(walk(map.begin(), map.end()), walk(model.cbegin(), model.cend()));
  Entries backwards;
  for (auto it = map.end(); it != map.begin();) {
    --it;
    backwards.emplace_back(it.key(), it.value());
  }
  ASSERT_EQ(backwards, walk(model.crbegin(), model.crend()));
  const int low = key - 50;
  ASSERT_EQ(walk(map.lower_bound(low), upper_bound(map, key)),
            walk(model.lower_bound(low), model.upper_bound(key)));
  ASSERT_EQ(walk(upper_bound(map, low), map.lower_bound(key)),
            walk(model.upper_bound(low), model.lower_bound(key)));
}

// Random inserts, value updates and sweeps (enough to split chunks and
// drop them) against std::map, checking order, bounds and lockstep lookups.
TEST(ChunkedMapTest, MatchesStdMap) {
  std::mt19937 rng(11);
  Map map;
  std::map<int, int> model;
  for (int step = 0; step < 60000; ++step) {
    const int key = static_cast<int>(rng() % 3000);
    const int action = static_cast<int>(rng() % 8);
    if (action == 0) {
      ASSERT_EQ(map.find(key) != map.end(), model.count(key) == 1);
      if (model.count(key) == 1) {
        map.emplace(key, 0).first.value() += step;
        model[key] += step;
      }
    } else if (action == 1 && step % 100 == 0) {
      const int modulus = 2 + static_cast<int>(rng() % 5);
      map.retain_if([&](int k, int) { return k % modulus != 0; });
      std::erase_if(model, [&](const auto& entry) { return entry.first % modulus == 0; });
    } else {
      ASSERT_EQ(map.emplace(key, step).second, model.emplace(key, step).second);
    }
    if (step % 1000 != 0) continue;
    expect_same(map, model, key);
    // Lookups in lockstep, including keys before and after every entry.
    std::vector<int> keys = {-1, 3001};
    while (keys.size() < Map::kLockstep) keys.push_back(static_cast<int>(rng() % 3000));
    map.lower_bounds(keys, [&](size_t i, Map::iterator bound) {
      ASSERT_TRUE(bound == map.lower_bound(keys[i])) << keys[i];
    });
  }
  map.retain_if([](int, int) { return false; });
  EXPECT_EQ(map.begin(), map.end());
}

// Sorted batches of absent keys, small (entered one by one) and large
// (merged), then random inserts on the result, against std::map. The order
// is by key then value, as for keys that the value completes.
TEST(ChunkedMapTest, InsertSortedMatchesStdMap) {
  std::mt19937 rng(17);
  Map map;
  std::map<int, int> model;
  for (size_t batch_size : {size_t{500}, size_t{3}, size_t{40}, size_t{5000}, size_t{1}}) {
    Entries batch;
    while (batch.size() < batch_size) {
      const int key = static_cast<int>(rng() % 100000);
      if (model.emplace(key, key).second) batch.emplace_back(key / 8, key);
    }
    std::sort(batch.begin(), batch.end());
    map.insert_sorted(std::move(batch), [](int a, int a_value, int b, int b_value) {
      return a != b ? a < b : a_value < b_value;
    });
    ASSERT_EQ(map.size(), model.size());
    Entries entries, expected;
    for (auto it = map.begin(); it != map.end(); ++it) entries.emplace_back(it.key(), it.value());
    for (const auto& [key, value] : model) expected.emplace_back(key / 8, value);
    ASSERT_EQ(entries, expected);
  }
  Map plain;
  model.clear();
  for (int key = 0; key < 5000; key += 3) model.emplace(key, key);
  plain.insert_sorted(Entries(model.begin(), model.end()));
  for (int edit = 0; edit < 2000; ++edit) {
    const int key = static_cast<int>(rng() % 6000);
    ASSERT_EQ(plain.emplace(key, key).second, model.emplace(key, key).second);
  }
  expect_same(plain, model, 2500);
}

}  // namespace
}  // namespace vantorel
