#include "native/structures/array_map/array_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantorel {
namespace {

// A value that counts live instances and detects destruction of something
// that is not a live instance (a double release, or raw storage).
struct Counted {
  static constexpr uint64_t kAlive = 0xa11fe11a11fe11a1;
  static inline int live = 0;
  static inline int bad_destroys = 0;

  explicit Counted(int v) : value(v) { ++live; }
  Counted(Counted&& o) noexcept : value(std::exchange(o.value, -1)) { ++live; }
  Counted& operator=(Counted&& o) noexcept {
    value = std::exchange(o.value, -1);
    return *this;
  }
  ~Counted() {
    if (canary != kAlive) ++bad_destroys;
    canary = 0;
    --live;
  }

  int value;
  uint64_t canary = kAlive;
};

using Map = ArrayMap<uint32_t, Counted>;
using Entries = std::vector<std::pair<uint32_t, int>>;

Entries entries(const Map& m) {
  Entries out;
  m.for_each([&](uint32_t k, const Counted& v) { out.emplace_back(k, v.value); });
  return out;
}

class ArrayMapTest : public ::testing::Test {
 protected:
  void SetUp() override { Counted::live = Counted::bad_destroys = 0; }
  void TearDown() override {
    EXPECT_EQ(Counted::live, 0) << "values leaked";
    EXPECT_EQ(Counted::bad_destroys, 0) << "a value was destroyed twice or never built";
  }
};

TEST_F(ArrayMapTest, KeepsFirstInsertionOrderThroughGrowthAndReplacement) {
  Map m;
  EXPECT_EQ(m.get(0), nullptr);
  EXPECT_EQ(m.capacity(), 0u);
  const uint32_t keys[] = {50, 3, 17, 0, 4000000000u, 9, 2, 1, 4};
  const size_t capacities[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
  for (int i = 0; i < 9; ++i) {
    EXPECT_FALSE(m.insert(keys[i], Counted(i)));
    EXPECT_EQ(m.capacity(), capacities[i]);
    EXPECT_EQ(Counted::live, i + 1);  // growth moved the values, none copied or lost
  }
  // Replacing hands back the old value and keeps the position.
  EXPECT_EQ(m.insert(0, Counted(100))->value, 3);
  EXPECT_EQ(m.insert(4, Counted(44))->value, 8);
  EXPECT_EQ(m.size(), 9u);
  EXPECT_EQ(
      entries(m),
      (Entries{
          {50, 0}, {3, 1}, {17, 2}, {0, 100}, {4000000000u, 4}, {9, 5}, {2, 6}, {1, 7}, {4, 44}}));
  EXPECT_EQ(m.get(5), nullptr);
  EXPECT_EQ(m.get(9)->value, 5);
}

TEST_F(ArrayMapTest, ReserveIsExactAndKeepsEntries) {
  Map m;
  m.reserve(6);
  EXPECT_EQ(m.capacity(), 6u);
  for (uint32_t k = 0; k < 6; ++k) m.insert(k * 7, Counted(static_cast<int>(k)));
  EXPECT_EQ(m.capacity(), 6u);
  m.reserve(3);  // never shrinks
  m.reserve(7);
  EXPECT_EQ(m.capacity(), 7u);
  EXPECT_EQ(entries(m), (Entries{{0, 0}, {7, 1}, {14, 2}, {21, 3}, {28, 4}, {35, 5}}));
  m.insert(1, Counted(9));
  m.insert(2, Counted(10));
  EXPECT_EQ(m.capacity(), 14u);
  EXPECT_EQ(Counted::live, 8);
}

TEST_F(ArrayMapTest, AGrowthHandsTheOldBlockBackWhenAsked) {
  Map m;
  m.insert(1, Counted(1));
  const uint32_t* old_keys = m.view().keys;
  Map::Block retired;
  EXPECT_FALSE(m.insert(2, Counted(2), &retired));
  ASSERT_NE(retired, nullptr);
  EXPECT_LT(static_cast<const void*>(retired.get()), static_cast<const void*>(old_keys));
  EXPECT_EQ(old_keys[0], 1u);  // still readable: only the moved-from value was destroyed
  EXPECT_EQ(Counted::live, 2);
  Map::Block untouched;
  EXPECT_EQ(m.insert(1, Counted(5), &untouched)->value, 1);  // no growth
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(m.view().size, 2u);
  EXPECT_EQ(m.view().values[0].value, 5);
}

TEST_F(ArrayMapTest, MovesAndClearOwnTheirValuesExactlyOnce) {
  for (uint32_t n : {0u, 1u, 5u, 40u}) {
    Map a;
    for (uint32_t k = 0; k < n; ++k) a.insert(k, Counted(static_cast<int>(k)));
    Map b(std::move(a));
    EXPECT_EQ(a.size(), 0u);  // a moved-from map is empty and usable
    a.insert(1, Counted(1));
    EXPECT_EQ(b.size(), n);

    Map c;
    c.insert(77, Counted(77));
    c = std::move(b);  // the 77 is released
    EXPECT_EQ(c.size(), n);
    EXPECT_EQ(Counted::live, static_cast<int>(n + 1)) << "n=" << n;
    c.clear();
    EXPECT_EQ(c.size(), 0u);
    EXPECT_EQ(c.get(0), nullptr);
    c.insert(3, Counted(3));
    EXPECT_EQ(entries(c), (Entries{{3, 3}}));
  }
}

TEST(ArrayMap, StringValues) {
  ArrayMap<uint32_t, std::string> m;
  const std::string long_text(100, 'z');
  for (uint32_t k = 0; k < 12; ++k) m.insert(k, long_text + std::to_string(k));
  EXPECT_EQ(m.insert(3, "x").value(), long_text + "3");
  EXPECT_EQ(*m.get(3), "x");
  EXPECT_EQ(*m.get(11), long_text + "11");
}

}  // namespace
}  // namespace vantorel
