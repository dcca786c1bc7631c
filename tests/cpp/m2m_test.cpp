#include "native/structures/m2m/m2m.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace vantorel {
namespace {

TEST(M2MTest, PairsAndUnregister) {
  M2MU32 m2m;
  EXPECT_TRUE(m2m.exact_parents_of(Bitmap{9}).empty());
  EXPECT_EQ(m2m.parents_set(9), nullptr);

  m2m.register_pair(5, 9);
  m2m.register_pair(5, 9);
  EXPECT_EQ(m2m.exact_parents_of(Bitmap{9}), (Bitmap{5}));
  EXPECT_TRUE(m2m.has_parents(9));
  EXPECT_FALSE(m2m.has_parents(5));
  EXPECT_FALSE(m2m.has_pair(9, 5));
  ASSERT_NE(m2m.parents_set(9), nullptr);
  EXPECT_EQ(m2m.parents_set(9)->to_bitmap(), (Bitmap{5}));

  m2m.register_pair(0x13, 9);
  m2m.unregister_pair(0x13, 9);
  m2m.unregister_pair(0x13, 9);
  EXPECT_TRUE(m2m.has_pair(5, 9));
  m2m.unregister_pair(5, 9);
  EXPECT_FALSE(m2m.has_parents(9));
  EXPECT_EQ(m2m.parents_set(9), nullptr);
}

// Random registers and unregisters, checked against a multimap model.
TEST(M2MTest, MatchesModelAfterRandomChanges) {
  std::mt19937 rng(12345);
  auto random_id = [&]() -> uint32_t {
    uint32_t id = rng() % 48;
    return rng() % 8 == 0 ? id | 0xA0000000u : id;  // some high ids
  };
  M2MU32 m2m;
  std::set<std::pair<uint32_t, uint32_t>> pairs;
  std::vector<std::pair<uint32_t, uint32_t>> history;
  for (int step = 0; step < 3000; ++step) {
    if (history.empty() || rng() % 3 != 0) {
      std::pair<uint32_t, uint32_t> pair{random_id(), random_id()};
      m2m.register_pair(pair.first, pair.second);
      pairs.insert(pair);
      history.push_back(pair);
    } else {
      auto pair = history[rng() % history.size()];
      m2m.unregister_pair(pair.first, pair.second);
      pairs.erase(pair);
    }
  }

  const auto listed = m2m.pairs();
  const std::set<std::pair<uint32_t, uint32_t>> distinct(listed.begin(), listed.end());
  ASSERT_TRUE(distinct == pairs);
  ASSERT_EQ(listed.size(), pairs.size());

  std::multimap<uint32_t, uint32_t> by_child;
  for (auto [parent, child] : pairs) by_child.emplace(child, parent);
  auto expected = [&](const Bitmap& ids) {
    Bitmap out;
    ids.for_each([&](uint32_t id) {
      auto [first, last] = by_child.equal_range(id);
      for (auto it = first; it != last; ++it) out.add(it->second);
    });
    return out;
  };
  for (int query = 0; query < 200; ++query) {
    Bitmap ids;
    // Mostly a few ids; sometimes more ids than there are pairs.
    for (int n = query % 10 == 0 ? 400 : rng() % 5; n > 0; --n) ids.add(random_id());
    ASSERT_EQ(m2m.exact_parents_of(ids), expected(ids));
    uint32_t id = random_id();
    ASSERT_EQ(m2m.has_parents(id), by_child.count(id) > 0);
  }
}

}  // namespace
}  // namespace vantorel
