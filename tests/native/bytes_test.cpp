#include "patch/bytes.h"

#include <gtest/gtest.h>

TEST(ByteCursor, ReadsFailWithoutMovingWhenBytesAreMissing) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 'a', 0, 'b'};
  ByteCursor cursor(ByteView{bytes, sizeof bytes});
  uint32_t word = 0;
  ASSERT_TRUE(cursor.ReadU32(word));
  EXPECT_EQ(word, 0x04030201u);
  uint8_t byte = 0;
  ASSERT_TRUE(cursor.ReadU8(byte));
  EXPECT_EQ(byte, 5);
  EXPECT_FALSE(cursor.ReadU32(word));
  EXPECT_EQ(cursor.position, 5u);
  const char* text = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(cursor.ReadCString(text, length));
  EXPECT_STREQ(text, "a");
  EXPECT_EQ(length, 1u);
  EXPECT_FALSE(cursor.ReadCString(text, length));  // "b" has no NUL inside the view
  EXPECT_EQ(cursor.position, 7u);
  EXPECT_FALSE(cursor.Skip(2));
  EXPECT_TRUE(cursor.Skip(1));
  EXPECT_TRUE(cursor.AtEnd());
}

TEST(ByteView, SliceRefusesRangesOutsideWithoutOverflow) {
  const uint8_t bytes[16] = {};
  ByteView view{bytes, sizeof bytes};
  EXPECT_TRUE(view.Contains(16, 0));
  EXPECT_FALSE(view.Contains(17, 0));
  EXPECT_FALSE(view.Contains(8, 0xFFFFFFF9u));  // offset + length would wrap
  EXPECT_EQ(view.Slice(4, 8).size, 8u);
  EXPECT_EQ(view.Slice(4, 13).size, 0u);
  EXPECT_EQ(view.From(20).size, 0u);
}
