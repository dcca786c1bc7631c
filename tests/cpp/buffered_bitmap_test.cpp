#include "native/structures/buffered_bitmap/buffered_bitmap.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

TEST(BufferedBitmapTest, FlushesOnlyWhenAFullBufferOverflows) {
  BufferedBitmap<4> buffered;
  for (uint32_t id = 0; id < 4; ++id) buffered.push(id);
  EXPECT_TRUE(buffered.bitmap().empty());

  buffered.push(4);
  EXPECT_EQ(buffered.bitmap(), (Bitmap{0, 1, 2, 3}));

  buffered.flush();
  EXPECT_EQ(buffered.bitmap(), (Bitmap{0, 1, 2, 3, 4}));
  buffered.flush();
  EXPECT_EQ(buffered.bitmap().cardinality(), 5u);
}

TEST(BufferedBitmapTest, DuplicatesCollapse) {
  BufferedBitmap<64> buffered;
  buffered.bitmap().add(7);
  buffered.push(7);
  buffered.push(9);
  buffered.push(9);
  EXPECT_EQ(buffered.bitmap(), (Bitmap{7}));
  buffered.flush();
  EXPECT_EQ(buffered.bitmap(), (Bitmap{7, 9}));

  // After a flush frees the buffer, pushing allocates a new one.
  buffered.flush();
  for (uint32_t id = 100; id < 300; ++id) buffered.push(id);
  buffered.flush();
  EXPECT_EQ(buffered.bitmap().cardinality(), 202u);
}

}  // namespace
}  // namespace vantorel
