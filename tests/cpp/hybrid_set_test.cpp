#include "native/structures/hybrid_set/hybrid_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "native/common/internal_error.h"

namespace vantorel {
namespace {

using Kind = HybridSet::Kind;

HybridSet added(std::initializer_list<uint32_t> ids) {
  HybridSet set;
  for (uint32_t id : ids) set.add(id);
  return set;
}

HybridSet medium(std::vector<uint32_t> ids) {
  return HybridSet::medium(ids);
}

std::vector<uint32_t> ids(const HybridSet& set) {
  std::vector<uint32_t> out;
  set.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

TEST(HybridSetTest, StaysSmall) {
  static_assert(sizeof(HybridSet) <= 32);
}

TEST(HybridSetTest, AddThresholds) {
  HybridSet set;
  EXPECT_EQ(set.kind(), Kind::Empty);
  for (uint32_t id : {30u, 10u, 20u}) {
    set.add(id);
    EXPECT_EQ(set.kind(), Kind::Small);
  }
  HybridSet duplicate = set;
  duplicate.add(10);  // the 4th add converts even when the id is present
  EXPECT_EQ(duplicate.kind(), Kind::Large);
  EXPECT_EQ(ids(duplicate), (std::vector<uint32_t>{10, 20, 30}));
  set.add(40);
  EXPECT_EQ(set.kind(), Kind::Large);
  EXPECT_EQ(ids(set), (std::vector<uint32_t>{10, 20, 30, 40}));

  HybridSet grows = medium({1, 2, 3});
  grows.add(4);
  EXPECT_EQ(grows.kind(), Kind::Medium);
  grows.add(5);
  EXPECT_EQ(grows.kind(), Kind::Large);
  EXPECT_EQ(ids(grows), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
}

TEST(HybridSetTest, RemoveKeepsRepresentation) {
  HybridSet empty;
  try {
    empty.remove(1);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "called remove on Empty");
  }
  for (HybridSet set : {added({1, 2}), medium({1, 2}), added({1, 2, 3, 4})}) {
    Kind kind = set.kind();
    set.remove(9);
    EXPECT_EQ(set.size(), kind == Kind::Large ? 4u : 2u);
    for (uint32_t id : ids(HybridSet(set))) set.remove(id);
    EXPECT_EQ(set.kind(), kind);
    EXPECT_TRUE(set.empty());
  }
}

TEST(HybridSetTest, RemoveManyFromEveryKind) {
  HybridSet small = added({3, 7});
  small.remove_many(std::vector<uint32_t>{3, 5});
  EXPECT_EQ(ids(small), std::vector<uint32_t>{7});
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

TEST(HybridSetTest, UnionRules) {
  HybridSet two_small = added({1, 2});
  two_small.union_with(added({3, 4}));
  EXPECT_EQ(two_small.kind(), Kind::Small);
  EXPECT_EQ(ids(two_small), (std::vector<uint32_t>{1, 2, 3, 4}));

  HybridSet overlapping = added({1, 2, 3});
  overlapping.union_with(added({2, 3}));  // 3 + 2 > 4 even though only 3 distinct
  EXPECT_EQ(overlapping.kind(), Kind::Large);
  EXPECT_EQ(ids(overlapping), (std::vector<uint32_t>{1, 2, 3}));

  HybridSet small_medium = added({5});
  small_medium.union_with(medium({1, 7}));
  EXPECT_EQ(small_medium.kind(), Kind::Medium);
  EXPECT_EQ(ids(small_medium), (std::vector<uint32_t>{1, 5, 7}));

  HybridSet from_empty;
  HybridSet source = medium({8});
  from_empty.union_with(source);
  source.add(9);  // the copy must not share the allocation
  EXPECT_EQ(from_empty.kind(), Kind::Medium);
  EXPECT_EQ(ids(from_empty), (std::vector<uint32_t>{8}));

  HybridSet unchanged = added({1});
  unchanged.union_with(HybridSet());
  EXPECT_EQ(unchanged.kind(), Kind::Small);

  HybridSet large = added({1, 2, 3, 4});
  large.union_with(medium({4, 100}));
  EXPECT_EQ(ids(large), (std::vector<uint32_t>{1, 2, 3, 4, 100}));
  HybridSet array_into_large = added({50});
  array_into_large.union_with(large);
  EXPECT_EQ(array_into_large.kind(), Kind::Large);
  EXPECT_EQ(array_into_large.size(), 6u);
}

TEST(HybridSetTest, RetainIn) {
  Bitmap allowed{2, 4, 100};
  HybridSet small = added({1, 2, 4});
  small.retain_in(allowed);
  EXPECT_EQ(small.kind(), Kind::Small);
  EXPECT_EQ(ids(small), (std::vector<uint32_t>{2, 4}));

  HybridSet mid = medium({1, 2, 3, 4});
  mid.retain_in(allowed);
  EXPECT_EQ(mid.kind(), Kind::Medium);
  EXPECT_EQ(ids(mid), (std::vector<uint32_t>{2, 4}));

  HybridSet large = added({1, 2, 3, 4, 100});
  large.retain_in(allowed);
  EXPECT_EQ(large.kind(), Kind::Large);
  EXPECT_EQ(ids(large), (std::vector<uint32_t>{2, 4, 100}));

  for (HybridSet set : {added({1}), medium({1, 2}), added({1, 2, 3, 4})}) {
    Kind kind = set.kind();
    set.retain_in(Bitmap());
    EXPECT_EQ(set.kind(), kind);
    EXPECT_TRUE(set.empty());
  }
}

TEST(HybridSetTest, ToBitmapAndCopies) {
  for (const HybridSet& set :
       {HybridSet(), added({3}), medium({1, 2, 3, 4}), added({1, 2, 3, 4, 5})}) {
    Bitmap bitmap = set.to_bitmap();
    EXPECT_EQ(bitmap.cardinality(), set.size());
    EXPECT_EQ(bitmap.to_vector(), ids(set));
    const Bitmap odd{1, 3, 5, 7};
    Bitmap common;
    set.add_in(odd, common);
    EXPECT_EQ(common, bitmap & odd);
    EXPECT_EQ(set.count_in(odd), common.cardinality());
  }

  HybridSet large = added({1, 2, 3, 4});
  HybridSet copy = large;
  copy.add(99);
  EXPECT_FALSE(large.contains(99));

  HybridSet moved = std::move(copy);
  EXPECT_TRUE(moved.contains(99));
  EXPECT_EQ(copy.kind(), Kind::Empty);  // NOLINT(bugprone-use-after-move)
}

TEST(HybridSetTest, SetUnionMatchesAddingEachSet) {
  // Array sets out of id order, a large set, overlaps, and ids already in `out`.
  const std::vector<HybridSet> sets = {added({70000, 5}), added({1, 2, 3, 4, 9}), added({3}),
                                       medium({6, 70001, 200000}), HybridSet()};
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
