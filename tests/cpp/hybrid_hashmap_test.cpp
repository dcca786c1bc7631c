#include "native/structures/hybrid_hashmap/hybrid_hashmap.h"

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
  Counted(const Counted& o) : value(o.value) { ++live; }
  Counted(Counted&& o) noexcept : value(o.value) {
    o.value = -1;
    ++live;
  }
  Counted& operator=(const Counted& o) = default;
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

using Map = HybridHashmap<uint32_t, Counted>;

std::vector<std::pair<uint32_t, int>> entries(const Map& m) {
  std::vector<std::pair<uint32_t, int>> out;
  m.for_each([&](const uint32_t& k, const Counted& v) { out.emplace_back(k, v.value); });
  return out;
}

class HybridHashmapTest : public ::testing::Test {
 protected:
  void SetUp() override { Counted::live = Counted::bad_destroys = 0; }
  void TearDown() override {
    EXPECT_EQ(Counted::live, 0) << "values leaked";
    EXPECT_EQ(Counted::bad_destroys, 0) << "a value was destroyed twice or never built";
  }
};

TEST_F(HybridHashmapTest, SmallFormKeepsOrderUntilTheNinthKeyConverts) {
  Map m;
  EXPECT_TRUE(entries(m).empty());
  const uint32_t keys[] = {50, 3, 17, 0, 4000000000u, 9, 2, 1};
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(m.insert(keys[i], Counted(i)));
  // Replacing hands back the old value and keeps the position.
  EXPECT_EQ(m.insert(0, Counted(100))->value, 3);
  EXPECT_EQ(m.insert(9, Counted(55))->value, 5);
  EXPECT_TRUE(m.is_small());
  EXPECT_EQ(entries(m),
            (std::vector<std::pair<uint32_t, int>>{
                {50, 0}, {3, 1}, {17, 2}, {0, 100}, {4000000000u, 4}, {9, 55}, {2, 6}, {1, 7}}));
  EXPECT_EQ(m.get(4), nullptr);

  const auto before = entries(m);
  EXPECT_FALSE(m.insert(4, Counted(99)));
  EXPECT_FALSE(m.is_small());
  EXPECT_EQ(Counted::live, 9);  // the small entries moved, none copied or lost
  for (const auto& [k, v] : before) EXPECT_EQ(m.get(k)->value, v) << k;
  EXPECT_EQ(m.get(4)->value, 99);
  EXPECT_EQ(m.insert(17, Counted(170))->value, 2);
  EXPECT_EQ(m.get(17)->value, 170);
  EXPECT_EQ(m.size(), 9u);
  EXPECT_EQ(m.get(5), nullptr);
}

TEST_F(HybridHashmapTest, TableGrowsPastTwentyEightWithCollidingKeys) {
  Map m;
  // Keys that agree in their low bits, plus the extremes.
  std::vector<uint32_t> keys = {0, UINT32_MAX};
  for (uint32_t i = 1; i < 1000; ++i) keys.push_back(i << 20 | 7);
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_FALSE(m.insert(keys[i], Counted(static_cast<int>(i))));
    ASSERT_EQ(m.size(), i + 1);
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_NE(m.get(keys[i]), nullptr) << keys[i];
    EXPECT_EQ(m.get(keys[i])->value, static_cast<int>(i));
  }
  size_t visits = 0;
  m.for_each([&](const uint32_t& k, const Counted& v) {
    ++visits;
    EXPECT_EQ(keys[v.value], k);
  });
  EXPECT_EQ(visits, keys.size());
  EXPECT_EQ(Counted::live, static_cast<int>(keys.size()));
}

TEST_F(HybridHashmapTest, CopiesAndMovesOwnTheirValuesExactlyOnce) {
  for (uint32_t n : {0u, 5u, 8u, 9u, 40u}) {
    Map a;
    for (uint32_t k = 0; k < n; ++k) a.insert(k, Counted(static_cast<int>(k)));
    Map b(a);
    EXPECT_EQ(entries(b), entries(a));
    if (n > 0) {
      b.insert(0, Counted(-7));
      EXPECT_EQ(a.get(0)->value, 0) << "copy shares values";
    }

    Map c(std::move(b));
    EXPECT_EQ(b.size(), 0u);  // a moved-from map is empty and usable
    EXPECT_TRUE(b.is_small());
    b.insert(1, Counted(1));
    EXPECT_EQ(c.size(), n);

    Map d;
    d.insert(77, Counted(77));
    d = c;  // copy-assign over a non-empty map
    EXPECT_EQ(entries(d), entries(c));
    d = std::move(a);
    EXPECT_EQ(d.size(), n);
    a = d;
    EXPECT_EQ(Counted::live, static_cast<int>(3 * n + 1)) << "n=" << n;  // a, c, d and b's one
  }
}

TEST(HybridHashmap, StringValues) {
  HybridHashmap<uint32_t, std::string> m;
  const std::string long_text(100, 'z');
  for (uint32_t k = 0; k < 12; ++k) m.insert(k, long_text + std::to_string(k));
  auto copy = m;
  copy.insert(3, "changed");
  EXPECT_EQ(*m.get(3), long_text + "3");
  EXPECT_EQ(m.insert(3, "x").value(), long_text + "3");
  EXPECT_EQ(*copy.get(11), long_text + "11");
}

}  // namespace
}  // namespace vantorel
