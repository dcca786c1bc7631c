#include "native/structures/hybrid_set/hybrid_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "native/common/internal_error.h"

namespace vantorel {
namespace {

using Kind = HybridSet::Kind;

HybridSet added(const std::vector<uint32_t>& ids) {
  HybridSet set;
  for (uint32_t id : ids) set.add(id);
  return set;
}

std::vector<uint32_t> ids(const HybridSet& set) {
  std::vector<uint32_t> out;
  set.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

TEST(HybridSetTest, FormsFollowTheSize) {
  static_assert(sizeof(HybridSet) == 8);
  HybridSet set;
  EXPECT_EQ(set.kind(), Kind::Empty);
  const std::vector<Kind> kinds = {Kind::Small, Kind::Medium, Kind::Medium, Kind::Large};
  const std::vector<uint32_t> order = {30, 0xFFFFFFFF, 10, 20};
  for (size_t i = 0; i < order.size(); ++i) {
    set.add(order[i]);
    set.add(order[i]);  // present: no change of form
    EXPECT_EQ(set.kind(), kinds[i]);
  }
  EXPECT_EQ(ids(set), (std::vector<uint32_t>{10, 20, 30, 0xFFFFFFFF}));
  EXPECT_EQ(HybridSet::of(std::vector<uint32_t>{}).kind(), Kind::Empty);
  EXPECT_EQ(HybridSet::of(std::vector<uint32_t>{7}).kind(), Kind::Small);
  EXPECT_EQ(HybridSet::of(std::vector<uint32_t>{1, 2, 3}).kind(), Kind::Medium);
  EXPECT_EQ(ids(HybridSet::of(std::vector<uint32_t>{1, 2, 3, 4})),
            (std::vector<uint32_t>{1, 2, 3, 4}));

  try {
    HybridSet().remove(1);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "called remove on Empty");
  }
  // Removals keep the form, except that a Small set's last id leaves it
  // Empty.
  HybridSet small = added({5});
  small.remove(6);
  EXPECT_EQ(small.kind(), Kind::Small);
  small.remove(5);
  EXPECT_EQ(small.kind(), Kind::Empty);
  for (const std::vector<uint32_t>& held :
       std::vector<std::vector<uint32_t>>{{1, 2}, {1, 2, 3, 4}}) {
    HybridSet set = added(held);
    const Kind kind = set.kind();
    for (uint32_t id : held) set.remove(id);
    EXPECT_EQ(set.kind(), kind);
    EXPECT_TRUE(set.empty());
    set.add(9);  // an emptied set takes ids again
    EXPECT_EQ(ids(set), std::vector<uint32_t>{9});
  }
}

// Random operations on sets of every form against std::set.
TEST(HybridSetTest, MatchesStdSet) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    HybridSet set;
    std::set<uint32_t> model;
    const uint32_t range = 2 + rng() % 12;
    for (int step = 0; step < 40; ++step) {
      const uint32_t id = rng() % range;
      switch (rng() % 4) {
        case 0:
          if (!set.empty()) set.remove(id);
          model.erase(id);
          break;
        case 1: {
          Bitmap allowed;
          for (uint32_t i = 0; i < range; ++i) {
            if (rng() % 3 != 0) allowed.add(i);
          }
          if (rng() % 2 == 0) {
            set.retain_in(allowed);
            std::erase_if(model, [&](uint32_t held) { return !allowed.contains(held); });
          } else {
            set.remove_in(allowed);
            std::erase_if(model, [&](uint32_t held) { return allowed.contains(held); });
          }
          break;
        }
        case 2: {
          HybridSet moved = std::move(set);
          ASSERT_EQ(set.kind(), Kind::Empty);
          set = std::move(moved);
          break;
        }
        default:
          set.add(id);
          model.insert(id);
      }
      ASSERT_EQ(ids(set), std::vector<uint32_t>(model.begin(), model.end()));
      ASSERT_EQ(set.size(), model.size());
      ASSERT_EQ(set.empty(), model.empty());
      ASSERT_EQ(set.contains(id), model.count(id) == 1);
      ASSERT_EQ(set.to_bitmap().to_vector(), ids(set));
      const Bitmap odd{1, 3, 5, 7, 9, 11};
      Bitmap common;
      set.add_in(odd, common);
      ASSERT_EQ(common, set.to_bitmap() & odd);
      ASSERT_EQ(set.count_in(odd), common.cardinality());
    }
  }
}

TEST(HybridSetTest, RemoveManyFromEveryKind) {
  HybridSet small = added({3, 7});
  small.remove_many(std::vector<uint32_t>{3, 5});
  EXPECT_EQ(ids(small), std::vector<uint32_t>{7});
  HybridSet single = added({4});
  single.remove_many(std::vector<uint32_t>{4, 5});  // empty after the first
  EXPECT_TRUE(single.empty());
  HybridSet large;
  for (uint32_t id = 0; id < 200000; id += 7) large.add(id);
  std::vector<uint32_t> gone;
  for (uint32_t id = 0; id < 200000; id += 21) gone.push_back(id);
  gone.push_back(200001);   // never there
  large.remove_many(gone);  // many: one pass
  EXPECT_EQ(large.kind(), Kind::Large);
  EXPECT_FALSE(large.contains(0));
  EXPECT_TRUE(large.contains(7));
  EXPECT_EQ(large.size(), 28572u - 9524u);
  large.remove_many(std::vector<uint32_t>{7, 14, 200003});  // few: one at a time
  EXPECT_FALSE(large.contains(7));
  EXPECT_FALSE(large.contains(14));
  EXPECT_EQ(large.size(), 28572u - 9524u - 2u);
}

TEST(HybridSetTest, SetUnionMatchesAddingEachSet) {
  // Array sets out of id order, a large set, overlaps, and ids already in `out`.
  std::vector<HybridSet> sets;
  for (const std::vector<uint32_t>& held :
       std::vector<std::vector<uint32_t>>{{70000, 5}, {1, 2, 3, 4, 9}, {3}, {6, 70001, 200000}}) {
    sets.push_back(added(held));
  }
  sets.emplace_back();
  Bitmap expected{8, 3};
  for (const HybridSet& set : sets) set.add_to(expected);
  Bitmap out{8, 3};
  SetUnion union_of(out);
  for (const HybridSet& set : sets) union_of.add(set);
  union_of.finish();
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace vantorel
