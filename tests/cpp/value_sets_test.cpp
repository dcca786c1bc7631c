#include "index/core/structures/value_sets/value_sets.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vantorel {
namespace {

std::vector<uint32_t> ids_of(const Bitmap& bitmap) {
  std::vector<uint32_t> out;
  bitmap.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

// Every bound combination against a brute-force filter over stored keys.
TEST(ValueSetsTest, RangesMatchBruteForce) {
  NumberSets sets;
  std::vector<int64_t> value_of(300);
  std::mt19937 rng(3);
  for (uint32_t id = 0; id < value_of.size(); ++id) {
    value_of[id] = static_cast<int64_t>(rng() % 40) - 20;
    sets.add(order_key(value_of[id]), id);
  }
  for (int64_t low = -22; low <= 22; low += 3) {
    for (int64_t high = -22; high <= 22; high += 5) {
      for (int mode = 0; mode < 4; ++mode) {
        const KeyBound<OrderKey> lower{order_key(low), (mode & 1) != 0};
        const KeyBound<OrderKey> upper{order_key(high), (mode & 2) != 0};
        Bitmap got;
        ASSERT_TRUE(sets.add_range(&lower, &upper, got, 1000));
        std::vector<uint32_t> expected;
        for (uint32_t id = 0; id < value_of.size(); ++id) {
          const int64_t v = value_of[id];
          const bool above = lower.inclusive ? v >= low : v > low;
          const bool below = upper.inclusive ? v <= high : v < high;
          if (above && below) expected.push_back(id);
        }
        ASSERT_EQ(ids_of(got), expected) << low << " " << high << " " << mode;
      }
    }
  }
  Bitmap open;
  ASSERT_TRUE(sets.add_range(nullptr, nullptr, open, 1000));
  EXPECT_EQ(open.cardinality(), value_of.size());
  Bitmap partial;
  EXPECT_FALSE(sets.add_range(nullptr, nullptr, partial, 5));
}

TEST(ValueSetsTest, KeysLeaveWithTheirLastId) {
  StringSets sets;
  for (uint32_t id = 0; id < 10; ++id) sets.add(std::string_view(id % 2 ? "odd" : "even"), id);
  sets.add(std::string_view("solo"), 42);
  Bitmap odd;
  sets.add_matching(std::string_view("odd"), odd);
  EXPECT_EQ(ids_of(odd), (std::vector<uint32_t>{1, 3, 5, 7, 9}));

  sets.remove(std::string_view("solo"), 42);
  sets.remove(std::string_view("solo"), 42);  // absent: ignored
  EXPECT_EQ(sets.key_count(), 2u);
  Bitmap drop;
  for (uint32_t id = 0; id < 10; id += 2) drop.add(id);
  sets.remove_all(drop);
  EXPECT_EQ(sets.key_count(), 1u);

  StringSets other;
  other.add(std::string_view("odd"), 100);
  other.add(std::string_view("new"), 101);
  sets.merge_from(other);
  Bitmap merged;
  sets.add_matching(std::string_view("odd"), merged);
  sets.add_matching(std::string_view("new"), merged);
  EXPECT_EQ(ids_of(merged), (std::vector<uint32_t>{1, 3, 5, 7, 9, 100, 101}));
}

}  // namespace
}  // namespace vantorel
