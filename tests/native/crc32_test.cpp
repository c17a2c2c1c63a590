#include "patch/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

TEST(Crc32, CheckValueAndEmptyInput) {
  const char* check = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(check), 9), 0xFC891918u);
  EXPECT_EQ(Crc32ByteLoop(reinterpret_cast<const uint8_t*>(check), 9), 0xFC891918u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(Crc32, TableIsTheClassicOne) {
  const uint32_t* table = CrcTables();
  // Entry i is i << 24 run through eight steps of the polynomial 0x04C11DB7.
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 24;
    for (int bit = 0; bit < 8; ++bit) v = (v & 0x80000000u) ? (v << 1) ^ 0x04C11DB7u : v << 1;
    ASSERT_EQ(table[i], v) << i;
  }
}

TEST(Crc32, EightByteStepsAgreeWithTheByteLoopAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  std::vector<uint8_t> data(300);
  for (uint8_t& b : data) b = uint8_t(random());
  for (uint32_t start = 0; start < 8; ++start)
    for (uint32_t length = 0; start + length <= data.size(); length += 1 + length / 8)
      ASSERT_EQ(Crc32(data.data() + start, length), Crc32ByteLoop(data.data() + start, length))
          << start << "+" << length;
}

// From kCrcFoldingFrom bytes on, a processor that can fold does: every length
// around the folding's steps of 64 and 16 bytes, at every alignment, must give
// what the tables give.
TEST(Crc32, FoldingAgreesWithTheTablesAtEveryStepAndAlignment) {
  std::mt19937 random(11);
  std::vector<uint8_t> data((1 << 20) + 64);
  for (uint8_t& b : data) b = uint8_t(random());
  const uint32_t lengths[] = {kCrcFoldingFrom - 1, kCrcFoldingFrom,      kCrcFoldingFrom + 1,
                              kCrcFoldingFrom + 15, kCrcFoldingFrom + 16, kCrcFoldingFrom + 47,
                              kCrcFoldingFrom + 63, kCrcFoldingFrom + 64, kCrcFoldingFrom + 79,
                              4099,                 65536,                1 << 20};
  for (uint32_t start = 0; start < 16; ++start)
    for (uint32_t length : lengths)
      ASSERT_EQ(Crc32(data.data() + start, length), Crc32WithTables(data.data() + start, length))
          << start << "+" << length;
  // All ones and all zeros: the initial value's four bytes folded in must not
  // cancel against the data.
  for (uint8_t fill : {uint8_t(0x00), uint8_t(0xFF)}) {
    std::vector<uint8_t> same(3000, fill);
    EXPECT_EQ(Crc32(same.data(), uint32_t(same.size())), Crc32ByteLoop(same.data(), uint32_t(same.size())));
  }
}
