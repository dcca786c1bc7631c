#include "native/structures/m2m/m2m.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace vantorel {
namespace {

TEST(M2MTest, BothDirections) {
  M2MU32 m2m;
  EXPECT_TRUE(m2m.parents_of(Bitmap{9}).empty());
  EXPECT_FALSE(m2m.is_child(9));

  m2m.register_pair(5, 9);
  m2m.register_pair(5, 9);
  EXPECT_EQ(m2m.pair_count(), 1u);
  EXPECT_EQ(m2m.parents_of(Bitmap{9}), (Bitmap{5}));
  EXPECT_EQ(m2m.children_of(Bitmap{5}), (Bitmap{9}));
  EXPECT_EQ(m2m.exact_parents_of(Bitmap{9}), (Bitmap{5}));
  EXPECT_TRUE(m2m.is_child(9));
  EXPECT_FALSE(m2m.is_child(5));
  EXPECT_FALSE(m2m.has_pair(9, 5));

  m2m.clear();
  EXPECT_EQ(m2m.pair_count(), 0u);
  EXPECT_FALSE(m2m.is_child(9));
  EXPECT_TRUE(m2m.parents_of(Bitmap{9}).empty());
}

TEST(M2MTest, NibbleAnswerOverReportsExactDoesNot) {
  M2MU32 m2m;
  m2m.register_pair(7, 0x01);
  m2m.register_pair(7, 0x10);
  EXPECT_TRUE(m2m.parents_of(Bitmap{0x11}).contains(7));
  EXPECT_TRUE(m2m.parents_of(Bitmap{0x00}).contains(7));
  EXPECT_TRUE(m2m.exact_parents_of(Bitmap{0x11}).empty());
  EXPECT_EQ(m2m.exact_parents_of(Bitmap{0x01, 0x11}), (Bitmap{7}));
}

TEST(M2MTest, HighNibbles) {
  M2MU32 m2m;
  m2m.register_pair(0xF0000000, 0xFFFFFFFF);
  m2m.register_pair(0x80000001, 0xF0000000);
  EXPECT_EQ(m2m.parents_of(Bitmap{0xFFFFFFFF}), (Bitmap{0xF0000000}));
  EXPECT_EQ(m2m.parents_of(Bitmap{0xF0000000}), (Bitmap{0x80000001}));
  EXPECT_TRUE(m2m.is_child(0xF0000000));
  EXPECT_FALSE(m2m.is_child(0x80000001));
}

TEST(M2MTest, UnregisterKeepsBitsOtherPairsNeed) {
  M2MU32 m2m;
  // Parents 0x03 and 0x13 share nibble 0, so both pairs set child 1 in the
  // same by-parent bitmap at position 0.
  m2m.register_pair(0x03, 1);
  m2m.register_pair(0x13, 1);
  m2m.register_pair(0x03, 2);
  m2m.unregister_pair(0x13, 1);
  m2m.unregister_pair(0x13, 1);
  EXPECT_EQ(m2m.pair_count(), 2u);
  EXPECT_TRUE(m2m.is_child(1));
  EXPECT_EQ(m2m.children_of(Bitmap{0x03}), (Bitmap{1, 2}));
  EXPECT_TRUE(m2m.children_of(Bitmap{0x13}).empty());
  EXPECT_EQ(m2m.parents_of(Bitmap{1}), (Bitmap{0x03}));

  m2m.unregister_pair(0x03, 1);
  EXPECT_FALSE(m2m.is_child(1));
  EXPECT_FALSE(m2m.has_parents(1));
  EXPECT_EQ(m2m.parents_of(Bitmap{2}), (Bitmap{0x03}));
  m2m.unregister_pair(0x03, 2);
  EXPECT_FALSE(m2m.is_child(2));
  EXPECT_TRUE(m2m.children_of(Bitmap{0x03}).empty());
}

// Random registers and unregisters, checked against a multimap model: the
// exact answers must match it, and the nibble answers must equal those of a
// map built from the remaining pairs alone.
TEST(M2MTest, MatchesModelAfterRandomChanges) {
  std::mt19937 rng(12345);
  auto random_id = [&]() -> uint32_t {
    uint32_t id = rng() % 48;
    return rng() % 8 == 0 ? id | 0xA0000000u : id;  // some high-nibble ids
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
  ASSERT_EQ(m2m.pair_count(), pairs.size());

  std::multimap<uint32_t, uint32_t> by_child;
  M2MU32 rebuilt;
  for (auto [parent, child] : pairs) {
    by_child.emplace(child, parent);
    rebuilt.register_pair(parent, child);
  }
  auto expected = [](const std::multimap<uint32_t, uint32_t>& model, const Bitmap& ids) {
    Bitmap out;
    ids.for_each([&](uint32_t id) {
      auto [first, last] = model.equal_range(id);
      for (auto it = first; it != last; ++it) out.add(it->second);
    });
    return out;
  };
  for (int query = 0; query < 200; ++query) {
    Bitmap ids;
    // Mostly a few ids; sometimes more ids than there are pairs.
    for (int n = query % 10 == 0 ? 400 : rng() % 5; n > 0; --n) ids.add(random_id());
    ASSERT_EQ(m2m.exact_parents_of(ids), expected(by_child, ids));
    ASSERT_EQ(m2m.parents_of(ids), rebuilt.parents_of(ids));
    ASSERT_EQ(m2m.children_of(ids), rebuilt.children_of(ids));
    uint32_t id = random_id();
    ASSERT_EQ(m2m.is_child(id), by_child.count(id) > 0);
  }
}

}  // namespace
}  // namespace vantorel
