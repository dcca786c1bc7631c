#include "index/core/structures/roaring/bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace vantorel {
namespace {

TEST(BitmapTest, RemoveEachMatchesASetOverEveryKindOfContainer) {
  // Containers of every kind and size: arrays (sparse, dense, unevenly
  // spread, of one id), a bitset that turns into an array during the batch,
  // and runs. The removals hit one bitmap many times within a group, and
  // include absent ids and ids of containers the bitmap lacks.
  std::mt19937 random(11);
  std::vector<Bitmap> bitmaps(5);
  std::vector<std::set<uint32_t>> expected(bitmaps.size());
  auto add = [&](size_t b, uint32_t id) {
    bitmaps[b].add(id);
    expected[b].insert(id);
  };
  for (uint32_t id = 0; id < 400000; id += 37) add(0, id);
  for (uint32_t id = 0; id < 20000; ++id) add(1, 65536 + id * id % 65536);  // bunched
  for (uint32_t id = 0; id < 4200; ++id) add(2, 131072 + id * 15);          // a bitset
  add(3, 7);
  add(3, 1u << 20);
  bitmaps[4].add_range(1000, 90000);
  for (uint32_t id = 1000; id < 90000; ++id) expected[4].insert(id);
  std::vector<Bitmap::Removal> removals;
  auto remove = [&](size_t b, uint32_t id) {
    removals.push_back({&bitmaps[b], id});
    expected[b].erase(id);
  };
  for (int k = 0; k < 3000; ++k) {
    const size_t b = random() % bitmaps.size();
    const uint32_t id = b == 3 ? (k % 2 == 0 ? 7u : 1u << 20) : random() % 400000;
    remove(b, id);
  }
  for (uint32_t id = 131072; id < 131072 + 150 * 15; id += 15) remove(2, id);
  Bitmap::remove_each(removals);
  for (size_t b = 0; b < bitmaps.size(); ++b) {
    const std::vector<uint32_t> want(expected[b].begin(), expected[b].end());
    EXPECT_EQ(bitmaps[b], Bitmap::of(want.data(), want.size())) << b;
  }
  EXPECT_TRUE(bitmaps[3].empty());
}

}  // namespace
}  // namespace vantorel
