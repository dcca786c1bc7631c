#include "native/structures/flat_id_map/flat_id_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "native/common/internal_error.h"

namespace vantorel {
namespace {

// Random inserts, overwrites and erases against std::unordered_map, with keys
// drawn from a narrow range so that probe chains collide and wrap around.
TEST(FlatIdMapTest, MatchesReferenceMap) {
  std::mt19937 rng(7);
  // The widest range leaves long runs of keys at their own home slots.
  for (uint32_t range : {40u, 5000u, 70000u}) {
    FlatIdMap map;
    std::unordered_map<uint32_t, uint32_t> model;
    for (int step = 0; step < 200000; ++step) {
      const uint32_t key = rng() % range;
      if (rng() % 3 == 0) {
        EXPECT_EQ(map.erase(key), model.erase(key) == 1);
      } else {
        map.set(key, step);
        model[key] = step;
      }
      if (step % 997 == 0) {
        ASSERT_EQ(map.size(), model.size());
        for (uint32_t probe = 0; probe < range; ++probe) {
          auto expected = model.find(probe);
          auto got = map.find(probe);
          ASSERT_EQ(got.has_value(), expected != model.end()) << probe;
          if (got) {
            ASSERT_EQ(*got, expected->second);
          }
        }
      }
    }
  }
}

TEST(FlatIdMapTest, ShrinksWhenEmptiedAndRefusesTheEmptyKey) {
  FlatIdMap map;
  for (uint32_t id = 0; id < 100000; ++id) map.set(id * 3, id);
  const size_t grown = map.memory_bytes();
  for (uint32_t id = 0; id < 100000; ++id) ASSERT_TRUE(map.erase(id * 3));
  EXPECT_EQ(map.size(), 0u);
  EXPECT_LT(map.memory_bytes() * 100, grown);
  EXPECT_FALSE(map.find(0));
  EXPECT_THROW(map.set(FlatIdMap::kNoKey, 1), InternalError);
}

}  // namespace
}  // namespace vantorel
