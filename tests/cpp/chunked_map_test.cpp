#include "native/structures/chunked_map/chunked_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace vantorel {
namespace {

using Map = ChunkedMap<int, int>;

std::vector<std::pair<int, int>> walk(Map::const_iterator from, Map::const_iterator to) {
  std::vector<std::pair<int, int>> out;
  for (; from != to; ++from) out.push_back(*from);
  return out;
}

std::vector<std::pair<int, int>> walk(std::map<int, int>::const_iterator from,
                                      std::map<int, int>::const_iterator to) {
  return {from, to};
}

std::vector<std::pair<int, int>> walk(std::map<int, int>::const_reverse_iterator from,
                                      std::map<int, int>::const_reverse_iterator to) {
  return {from, to};
}

// Random inserts, overwrites and erasures (enough to split and drop chunks)
// against std::map, checking order, bounds and the iterator returned by erase.
TEST(ChunkedMapTest, MatchesStdMap) {
  std::mt19937 rng(11);
  Map map;
  std::map<int, int> model;
  for (int step = 0; step < 60000; ++step) {
    const int key = static_cast<int>(rng() % 3000);
    const int action = static_cast<int>(rng() % 4);
    if (action == 0) {
      auto found = map.find(key);
      ASSERT_EQ(found != map.end(), model.count(key) == 1);
      if (found != map.end()) {
        auto next = map.erase(found);
        auto model_next = model.erase(model.find(key));
        ASSERT_EQ(next == map.end(), model_next == model.end());
        if (next != map.end()) {
          ASSERT_EQ(next->first, model_next->first);
        }
      }
    } else if (action == 1) {
      map[key] += step;
      model[key] += step;
    } else {
      ASSERT_EQ(map.emplace(key, step).second, model.emplace(key, step).second);
    }
    if (step % 1000 == 0) {
      ASSERT_EQ(map.size(), model.size());
      ASSERT_EQ(walk(map.begin(), map.end()), walk(model.cbegin(), model.cend()));
      const int low = key - 50;
      ASSERT_EQ(walk(map.lower_bound(low), map.upper_bound(key)),
                walk(model.lower_bound(low), model.upper_bound(key)));
      ASSERT_EQ(walk(map.upper_bound(low), map.lower_bound(key)),
                walk(model.upper_bound(low), model.lower_bound(key)));
      std::vector<std::pair<int, int>> backwards;
      for (auto it = map.end(); it != map.begin();) backwards.push_back(*--it);
      ASSERT_EQ(backwards, walk(model.crbegin(), model.crend()));
      // Lookups in lockstep, including keys before and after every entry.
      std::vector<int> keys = {-1, 3001};
      while (keys.size() < Map::kLockstep) keys.push_back(static_cast<int>(rng() % 3000));
      map.lower_bounds(keys, [&](size_t i, Map::iterator bound) {
        ASSERT_TRUE(bound == map.lower_bound(keys[i])) << keys[i];
      });
    }
  }
  while (map.size() > 0) map.erase(map.begin());
  EXPECT_EQ(map.begin(), map.end());
}

// Sorted batches of absent keys, small (entered one by one) and large
// (merged), then random edits on the result, against std::map.
TEST(ChunkedMapTest, InsertSortedMatchesStdMap) {
  std::mt19937 rng(17);
  Map map;
  std::map<int, int> model;
  for (size_t batch_size : {size_t{500}, size_t{3}, size_t{40}, size_t{5000}, size_t{1}}) {
    std::vector<std::pair<int, int>> batch;
    while (batch.size() < batch_size) {
      const int key = static_cast<int>(rng() % 100000);
      if (model.emplace(key, key).second) batch.emplace_back(key, key);
    }
    std::sort(batch.begin(), batch.end());
    map.insert_sorted(std::move(batch));
    ASSERT_EQ(map.size(), model.size());
    ASSERT_EQ(walk(map.begin(), map.end()), walk(model.cbegin(), model.cend()));
    for (int edit = 0; edit < 200; ++edit) {
      const int key = static_cast<int>(rng() % 100000);
      if (edit % 2 == 0 && map.find(key) != map.end()) {
        map.erase(map.find(key));
        model.erase(key);
      } else {
        ASSERT_EQ(map.emplace(key, key).second, model.emplace(key, key).second);
      }
    }
    ASSERT_EQ(walk(map.begin(), map.end()), walk(model.cbegin(), model.cend()));
    ASSERT_EQ(walk(map.lower_bound(30000), map.upper_bound(60000)),
              walk(model.lower_bound(30000), model.upper_bound(60000)));
  }
}

}  // namespace
}  // namespace vantorel
