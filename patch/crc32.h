// CRC-32 that identifies files in a patch: polynomial 0x04C11DB7, initial value
// and final XOR 0xFFFFFFFF, neither input nor output reflected ("123456789" gives
// 0xFC891918). It is not zlib's reflected CRC-32.
#pragma once

#include <stdint.h>

// Number of 256-entry tables: table k holds the CRC of byte i followed by k
// zero bytes, so eight input bytes combine with one lookup each.
constexpr int kCrcTableCount = 8;

// The tables, one after another (the first 256 entries are the classic
// one-byte table). They are constant data built by the compiler, so there is
// nothing to allocate and nothing to set up before the first CRC.
const uint32_t* CrcTables();

// CRC-32 of `length` bytes at `data`; 0 for no bytes. From kCrcFoldingFrom
// bytes on, on an x86 processor with carry-less multiplication whose system
// saves the XMM registers, 64 bytes at a time by polynomial folding (about six
// times the tables' speed); otherwise eight bytes per step by the tables.
uint32_t Crc32(const uint8_t* data, uint32_t length);
constexpr uint32_t kCrcFoldingFrom = 1024;

// The same by the tables alone, at any length: what the folding is checked
// against.
uint32_t Crc32WithTables(const uint8_t* data, uint32_t length);

// The same CRC, one table lookup per byte in a single serial chain: the
// reference that the faster Crc32 is checked and measured against.
uint32_t Crc32ByteLoop(const uint8_t* data, uint32_t length);

// Whether `crc` is one of the `count` CRCs at `crcs`.
inline bool IsCrcListed(const uint32_t* crcs, int32_t count, uint32_t crc) {
  for (int32_t i = 0; i < count; ++i)
    if (crcs[i] == crc) return true;
  return false;
}
