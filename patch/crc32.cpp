#include "patch/crc32.h"

namespace {

struct CrcTables {
  uint32_t entry[kCrcTableCount][256];
};

constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 24;
    for (int bit = 0; bit < 8; ++bit) v = (v & 0x80000000u) ? (v << 1) ^ 0x04C11DB7u : v << 1;
    tables.entry[0][i] = v;
  }
  for (int k = 1; k < kCrcTableCount; ++k)
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t previous = tables.entry[k - 1][i];
      tables.entry[k][i] = (previous << 8) ^ tables.entry[0][previous >> 24];
    }
  return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();
static_assert(kCrcTables.entry[0][1] == 0x04C11DB7u, "one-byte table");

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

const uint32_t* CrcTables() { return &kCrcTables.entry[0][0]; }

uint32_t Crc32ByteLoop(const uint8_t* data, uint32_t length) {
  const uint32_t* table = kCrcTables.entry[0];
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < length; ++i) crc = (crc << 8) ^ table[(crc >> 24) ^ data[i]];
  return ~crc;
}

uint32_t Crc32(const uint8_t* data, uint32_t length) {
  const uint32_t(*t)[256] = kCrcTables.entry;
  uint32_t crc = 0xFFFFFFFFu;
  // Eight bytes per step: the first four are folded into the running CRC, and
  // every byte takes the table for the number of bytes that follow it.
  while (length >= 8) {
    const uint32_t high = crc ^ LoadBe32(data);
    crc = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^
          t[4][high & 0xFF] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    data += 8;
    length -= 8;
  }
  while (length--) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *data++];
  return ~crc;
}
