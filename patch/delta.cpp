#include "patch/delta.h"

#include <stdlib.h>
#include <string.h>

namespace {

// What a copy block does next with its buffer.
enum PatchState { StateChoose, StateSkipNext, StateByteAddNext, StateWordAddNext };

// The streams of one delta during decoding.
struct DeltaStreams {
  BitReader literalFlags;
  BitReader patchBits;
  ByteCursor lengths;
  ByteCursor positions;
  ByteCursor patchCounts;
  ByteCursor skips;
  ByteCursor literals;
  ByteCursor addends;
  uint32_t oldEnd;  // old-file position just after the last copied block
};

// Applies `count` patch operations to a block buffer of `length` bytes; false
// when the operations run past the block or their streams run out.
bool PatchBlock(DeltaStreams& s, uint8_t* block, uint32_t length, uint32_t count) {
  uint32_t cursor = 0;
  PatchState state = StateChoose;
  for (uint32_t done = 0; done < count; ++done) {
    PatchState action = state;
    if (state == StateChoose) {
      uint32_t bit = 0;
      if (!ReadBit(s.patchBits, bit)) return false;
      action = StateSkipNext;
      if (bit) {
        if (!ReadBit(s.patchBits, bit)) return false;
        action = bit ? StateWordAddNext : StateByteAddNext;
      }
    }
    if (action == StateSkipNext) {
      uint32_t skip = 0, bit = 0;
      if (!ReadUnsigned(s.skips, skip) || skip >= length - cursor) return false;
      cursor += skip + 1;
      if (!ReadBit(s.patchBits, bit)) return false;
      state = bit ? StateWordAddNext : StateByteAddNext;
    } else if (action == StateByteAddNext) {
      uint8_t addend = 0;
      if (cursor >= length || !s.addends.ReadU8(addend)) return false;
      block[cursor] = uint8_t(block[cursor] + addend);
      cursor += 1;
      state = StateSkipNext;
    } else {
      uint16_t addend = 0;
      if (length - cursor < 2 || !s.addends.ReadU16(addend)) return false;
      const uint16_t word = uint16_t(LoadLe16(block + cursor) + addend);
      block[cursor] = uint8_t(word);
      block[cursor + 1] = uint8_t(word >> 8);
      cursor += 2;
      state = StateChoose;
    }
  }
  return true;
}

bool EmitLiteralRun(const DeltaOutput& output, DeltaStreams& s) {
  uint32_t lengthMinusOne = 0;
  ByteView run;
  if (!ReadUnsigned(s.lengths, lengthMinusOne) || lengthMinusOne == 0xFFFFFFFFu ||
      !s.literals.ReadBytes(lengthMinusOne + 1, run))
    return false;
  return output.write(output.context, run.data, run.size);
}

bool EmitCopyBlock(const DeltaOutput& output, DeltaStreams& s, ByteView oldData) {
  uint32_t lengthMinusOne = 0, patchCount = 0;
  int32_t distance = 0;
  if (!ReadUnsigned(s.lengths, lengthMinusOne) || !ReadSigned(s.positions, distance) ||
      !ReadUnsigned(s.patchCounts, patchCount))
    return false;
  const int64_t start = int64_t(s.oldEnd) + distance;
  if (lengthMinusOne >= oldData.size || start < 0 || start > int64_t(oldData.size) ||
      !oldData.Contains(uint32_t(start), lengthMinusOne + 1))
    return false;
  const uint32_t length = lengthMinusOne + 1;

  uint8_t* block = output.allocate(length);
  if (!block) return false;
  memcpy(block, oldData.data + start, length);
  s.oldEnd = uint32_t(start) + length;
  bool ok = int32_t(patchCount) <= 0 || PatchBlock(s, block, length, patchCount);
  ok = ok && output.write(output.context, block, length);
  output.release(block);
  return ok;
}

uint8_t* AllocateFromHeap(uint32_t length) { return static_cast<uint8_t*>(malloc(length)); }
void ReleaseToHeap(uint8_t* buffer) { free(buffer); }

bool WriteToMemory(void* context, const uint8_t* bytes, uint32_t length) {
  MemoryOutput& memory = *static_cast<MemoryOutput*>(context);
  if (memory.capacity - memory.length < length) return false;
  memcpy(memory.data + memory.length, bytes, length);
  memory.length += length;
  return true;
}

}  // namespace

bool ReadDeltaHeader(ByteView body, DeltaHeader& header) {
  if (body.size < kDeltaHeaderSize) return false;
  uint32_t* fields[] = {&header.literalFlagsOffset, &header.patchBitsOffset,
                        &header.lengthsOffset,      &header.positionsOffset,
                        &header.patchCountsOffset,  &header.skipsOffset,
                        &header.literalsOffset,     &header.addendsOffset};
  for (int i = 0; i < 8; ++i) {
    *fields[i] = LoadLe32(body.data + 4 * i);
    if (*fields[i] > body.size) return false;
  }
  return header.lengthsOffset <= header.positionsOffset;
}

BitReader StartBitReader(ByteView stream) { return BitReader{stream, 0xFFFFFFFFu, 0}; }

bool ReadBit(BitReader& reader, uint32_t& bit) {
  uint32_t position = reader.position;
  uint8_t mask = uint8_t(reader.mask >> 1);
  if (mask == 0) {
    position += 1;  // from "one before the stream" this wraps to 0
    mask = 0x80;
  }
  if (position >= reader.stream.size) return false;
  reader.position = position;
  reader.mask = mask;
  bit = (reader.stream.data[position] & mask) ? 1 : 0;
  return true;
}

bool ReadUnsigned(ByteCursor& cursor, uint32_t& value) {
  const uint32_t room = cursor.Remaining() < 5 ? cursor.Remaining() : 5;
  const uint8_t* bytes = cursor.Here();
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

bool ReadSigned(ByteCursor& cursor, int32_t& value) {
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

bool ApplyDelta(const DeltaOutput& output, ByteView deltaBody, ByteView oldData) {
  DeltaHeader header;
  if (!ReadDeltaHeader(deltaBody, header)) return false;
  DeltaStreams s{
      StartBitReader(deltaBody.From(header.literalFlagsOffset)),
      StartBitReader(deltaBody.From(header.patchBitsOffset)),
      ByteCursor(deltaBody.Slice(header.lengthsOffset,
                                 header.positionsOffset - header.lengthsOffset)),
      ByteCursor(deltaBody.From(header.positionsOffset)),
      ByteCursor(deltaBody.From(header.patchCountsOffset)),
      ByteCursor(deltaBody.From(header.skipsOffset)),
      ByteCursor(deltaBody.From(header.literalsOffset)),
      ByteCursor(deltaBody.From(header.addendsOffset)),
      0};
  while (!s.lengths.AtEnd()) {
    uint32_t literalFlag = 0;
    if (!ReadBit(s.literalFlags, literalFlag)) return false;
    if (literalFlag) {
      if (!EmitLiteralRun(output, s)) return false;
      if (s.lengths.AtEnd()) return true;
    }
    if (!EmitCopyBlock(output, s, oldData)) return false;
  }
  return true;
}

DeltaOutput ToMemory(MemoryOutput& memory) {
  return DeltaOutput{&memory, WriteToMemory, AllocateFromHeap, ReleaseToHeap};
}
