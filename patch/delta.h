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

inline BitReader StartBitReader(ByteView stream) { return BitReader{stream, 0xFFFFFFFFu, 0}; }

// The next bit (0 or 1); false when the stream has no more bits.
inline bool ReadBit(BitReader& reader, uint32_t& bit) {
  uint8_t mask = uint8_t(reader.mask >> 1);
  if (mask == 0) {
    // From "one before the stream" the position wraps to 0.
    if (reader.position + 1 >= reader.stream.size) return false;
    reader.position += 1;
    mask = 0x80;
  }
  reader.mask = mask;
  bit = (reader.stream.data[reader.position] & mask) ? 1 : 0;
  return true;
}

// An unsigned number; false when it runs past the stream or is longer than five
// bytes. The cursor moves only on success.
inline bool ReadUnsigned(ByteCursor& cursor, uint32_t& value) {
  const uint32_t remaining = cursor.Remaining();
  const uint8_t* bytes = cursor.Here();
  // Most numbers are one byte: lengths, counts and skips of a few dozen.
  if (remaining != 0 && bytes[0] < 0x80) {
    value = bytes[0];
    cursor.position += 1;
    return true;
  }
  const uint32_t room = remaining < 5 ? remaining : 5;
  uint32_t result = 0;
  for (uint32_t i = 0; i < room; ++i) {
    result = result << 7 | (bytes[i] & 0x7F);
    if (!(bytes[i] & 0x80)) {
      value = result;
      cursor.position += i + 1;
      return true;
    }
  }
  return false;
}

// A signed number; the same limits.
inline bool ReadSigned(ByteCursor& cursor, int32_t& value) {
  const uint32_t room = cursor.Remaining() < 5 ? cursor.Remaining() : 5;
  const uint8_t* bytes = cursor.Here();
  uint32_t magnitude = 0;
  for (uint32_t i = 0; i < room; ++i) {
    if (bytes[i] & 0x80) {
      magnitude = magnitude << 7 | (bytes[i] & 0x7F);
      continue;
    }
    magnitude = magnitude << 6 | (bytes[i] & 0x3F);
    value = int32_t((bytes[i] & 0x40) ? ~magnitude : magnitude);
    cursor.position += i + 1;
    return true;
  }
  return false;
}

// Where the decoded file goes. The decoder gathers whole steps (a literal run, a
// copy block with its corrections) in `buffer` and passes them to `write` in
// order, when the next step does not fit and at the end; `write` returns false
// when it failed. A buffer that is the output's final place (`inPlace`: memory)
// is filled front to back and never reused, so a step that does not fit the
// room left stops decoding. Otherwise the buffer is free again after each write,
// and a step larger than the whole buffer goes out on its own: a literal run
// straight from the patch, a copy block in pieces once all its corrections have
// been read and checked. Either way a step is written whole or not at all,
// unless `write` itself fails.
struct DeltaOutput {
  void* context;
  bool (*write)(void* context, const uint8_t* bytes, uint32_t length);
  uint8_t* buffer;
  uint32_t capacity;
  bool inPlace;
};

// Rebuilds the new file from `deltaBody` (exactly the record's body) over
// `oldData` (the whole old file) and writes it to `output`. Stops at once at
// anything the delta cannot hold — a stream read beyond its room in the body, a
// copy block outside the old file, a skip or addition beyond its block, a number
// longer than five bytes, a step that does not fit, a failed write — leaving the output short
// so that its CRC does not match. Returns true when the whole delta was decoded
// and written.
bool ApplyDelta(const DeltaOutput& output, ByteView deltaBody, ByteView oldData);

// Output into a caller's fixed buffer, built there in place: for tools, tests
// and fuzzing. Steps that do not fit stop decoding; `length` counts the bytes
// of the whole steps written.
struct MemoryOutput {
  uint8_t* data;
  uint32_t capacity;
  uint32_t length;
};
DeltaOutput ToMemory(MemoryOutput& memory);
