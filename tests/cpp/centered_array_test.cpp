#include "native/structures/centered_array/centered_array.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "native/common/internal_error.h"

namespace vantorel {
namespace {

std::vector<uint32_t> ids(const CenteredArray& array) {
  auto slice = array.as_slice();
  return {slice.begin(), slice.end()};
}

CenteredArray of(std::initializer_list<uint32_t> values) {
  CenteredArray array;
  for (uint32_t v : values) array.insert(v);
  return array;
}

TEST(CenteredArrayTest, InsertsRecentreTheWindow) {
  CenteredArray array;
  const size_t starts[] = {2, 2, 1, 0};
  for (uint32_t v = 1; v <= 4; ++v) {
    array.insert(v);
    EXPECT_EQ(array.start(), starts[v - 1]) << "after inserting " << v;
    EXPECT_EQ(array.size(), v);
  }
  EXPECT_EQ(ids(array), (std::vector<uint32_t>{1, 2, 3, 4}));

  CenteredArray descending = of({4, 3, 2, 1});
  EXPECT_EQ(descending.start(), 0u);
  EXPECT_EQ(ids(descending), (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST(CenteredArrayTest, FullArrayRefusesEveryInsert) {
  CenteredArray array = of({1, 2, 3, 4});
  for (uint32_t v : {2u, 9u}) {
    try {
      array.insert(v);
      FAIL() << "insert into a full array succeeded";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "CenteredArray full");
    }
  }
  EXPECT_EQ(ids(array), (std::vector<uint32_t>{1, 2, 3, 4}));
}

// The window moves on insert (even of a present value) but never on remove.
TEST(CenteredArrayTest, OnlyInsertRecentres) {
  CenteredArray pair = of({1, 2});  // window [2, 4) touches the end
  pair.insert(1);
  EXPECT_EQ(pair.start(), 1u);
  EXPECT_EQ(ids(pair), (std::vector<uint32_t>{1, 2}));

  CenteredArray single = of({5});
  single.remove(5);
  EXPECT_EQ(single.start(), 2u);
  single.insert(7);
  EXPECT_EQ(single.start(), 2u);
  EXPECT_EQ(ids(single), (std::vector<uint32_t>{7}));
}

TEST(CenteredArrayTest, UnionMergesAndCentres) {
  CenteredArray a = of({1, 3});
  a.union_with(of({2, 3}));
  EXPECT_EQ(ids(a), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(a.start(), 0u);

  CenteredArray single = of({5});
  single.union_with(CenteredArray());
  EXPECT_EQ(ids(single), (std::vector<uint32_t>{5}));
  EXPECT_EQ(single.start(), 1u);

  CenteredArray three = of({1, 2, 3});
  EXPECT_THROW(three.union_with(of({7, 8})), InternalError);
}

// Random inserts and removes against std::set, checking order and bounds.
TEST(CenteredArrayTest, MatchesSetModel) {
  std::mt19937 rng(7);
  CenteredArray array;
  std::set<uint32_t> model;
  for (int step = 0; step < 20000; ++step) {
    uint32_t v = rng() % 8;
    if (rng() % 2 == 0 && model.size() < CenteredArray::kCapacity) {
      array.insert(v);
      model.insert(v);
    } else {
      array.remove(v);
      model.erase(v);
    }
    ASSERT_LE(array.start() + array.size(), CenteredArray::kCapacity);
    ASSERT_EQ(ids(array), std::vector<uint32_t>(model.begin(), model.end())) << "step " << step;
  }
}

}  // namespace
}  // namespace vantorel
