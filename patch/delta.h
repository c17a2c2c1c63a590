// Delta bodies: a new file described as literal runs taken from the patch and
// copy blocks taken from the old file, each block corrected by byte and 16-bit
// word additions. The body starts with a DeltaHeader of eight offsets (from the
// header's first byte) that locate eight streams, each read front to back:
//   literal flags (bits)  one per step: 1 = a literal run comes before the block
//   patch bits (bits)     patch-control decisions of the copy blocks
//   lengths (unsigned)    run and block lengths minus 1; ends at positionsOffset
//   positions (signed)    block start relative to the end of the previous block
//   patch counts (unsigned)  operations per block
//   skips (unsigned)      cursor moves minus 1
//   literals (bytes)      the bytes of the literal runs
//   addends (bytes)       bytes of byte adds, little-endian words of word adds
// Unsigned numbers: 7 bits per byte, most significant first, top bit 0x80 set on
// every byte but the last; at most five bytes. Signed numbers: the same, except
// that the last byte holds the sign in 0x40 and the lowest 6 bits of the
// magnitude m; a set sign means -(m + 1). Bits: from the top bit of a byte down.
#pragma once

#include <stdint.h>

#include "patch/bytes.h"

constexpr uint32_t kDeltaHeaderSize = 32;

struct DeltaHeader {
  uint32_t literalFlagsOffset;
  uint32_t patchBitsOffset;
  uint32_t lengthsOffset;
  uint32_t positionsOffset;  // also the end of the length stream
  uint32_t patchCountsOffset;
  uint32_t skipsOffset;
  uint32_t literalsOffset;
  uint32_t addendsOffset;
};

// Reads the header of `body`. False when the body is shorter than the header, an
// offset lies beyond the body, or lengthsOffset > positionsOffset.
bool ReadDeltaHeader(ByteView body, DeltaHeader& header);
inline bool ValidDeltaHeader(ByteView body) {
  DeltaHeader header;
  return ReadDeltaHeader(body, header);
}

// A bit stream: `position` is the byte that holds the current bit (one before
// the stream at the start) and `mask` that bit (0 at the start).
struct BitReader {
  ByteView stream;
  uint32_t position;
  uint8_t mask;
};

BitReader StartBitReader(ByteView stream);
// The next bit (0 or 1); false when the stream has no more bits.
bool ReadBit(BitReader& reader, uint32_t& bit);
// An unsigned number; false when it runs past the stream or is longer than five
// bytes. The cursor moves only on success.
bool ReadUnsigned(ByteCursor& cursor, uint32_t& value);
// A signed number; the same limits.
bool ReadSigned(ByteCursor& cursor, int32_t& value);

// Where the decoded file goes. `write` takes the bytes in order and returns false
// when it failed; copy blocks are built in buffers from `allocate`, one per block
// and released after its write.
struct DeltaOutput {
  void* context;
  bool (*write)(void* context, const uint8_t* bytes, uint32_t length);
  uint8_t* (*allocate)(uint32_t length);
  void (*release)(uint8_t* buffer);
};

// Rebuilds the new file from `deltaBody` (exactly the record's body) over
// `oldData` (the whole old file) and writes it to `output`. Stops at once at
// anything the delta cannot hold — a stream read beyond its room in the body, a
// copy block outside the old file, a skip or addition beyond its block, a number
// longer than five bytes, a failed allocation or write — leaving the output short
// so that its CRC does not match. Returns true when the whole delta was decoded
// and written.
bool ApplyDelta(const DeltaOutput& output, ByteView deltaBody, ByteView oldData);

// Output into a caller's fixed buffer, block buffers from malloc: for tools,
// tests and fuzzing. Writes that do not fit fail.
struct MemoryOutput {
  uint8_t* data;
  uint32_t capacity;
  uint32_t length;
};
DeltaOutput ToMemory(MemoryOutput& memory);
