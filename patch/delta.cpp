#include "patch/delta.h"

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

// The staging of decoded steps in the output's buffer: `staged` bytes from
// `base` wait for their write, and `room` bytes from `base` are free for them.
struct Staging {
  const DeltaOutput& output;
  uint8_t* base;
  uint32_t room;
  uint32_t staged;
  bool writeFailed;
};

bool Flush(Staging& out) {
  if (out.staged == 0) return true;
  if (!out.output.write(out.output.context, out.base, out.staged)) {
    out.writeFailed = true;
    return false;
  }
  if (out.output.inPlace) {
    out.base += out.staged;
    out.room -= out.staged;
  }
  out.staged = 0;
  return true;
}

// Where the next step of `length` bytes goes in the buffer, after writing what
// was staged if it does not fit otherwise; null when it fits in no buffer (or
// that write failed).
uint8_t* Room(Staging& out, uint32_t length) {
  if (out.room - out.staged < length && (!Flush(out) || out.room < length)) return nullptr;
  return out.base + out.staged;
}

// Whether a step that Room refused may go out on its own, in pieces.
bool MayWriteAlone(const Staging& out) {
  return !out.output.inPlace && !out.writeFailed && out.room != 0;
}

// Bytes handed on in buffer-sized pieces; for steps larger than the buffer.
bool WritePieces(Staging& out, const uint8_t* bytes, uint32_t length) {
  while (length != 0) {
    uint32_t piece = out.room - out.staged;
    if (piece > length) piece = length;
    memcpy(out.base + out.staged, bytes, piece);
    out.staged += piece;
    bytes += piece;
    length -= piece;
    if (out.staged == out.room && !Flush(out)) return false;
  }
  return true;
}

// Reads the `count` corrections of a copy block of `length` bytes and passes
// each addition to `apply` (Add8/Add16 at an offset in the block); false when
// they run past the block or their streams run out, or `apply` fails.
template <typename Apply>
bool ReadCorrections(DeltaStreams& s, uint32_t length, uint32_t count, Apply& apply) {
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
      if (cursor >= length || !s.addends.ReadU8(addend) || !apply.Add8(cursor, addend)) return false;
      cursor += 1;
      state = StateSkipNext;
    } else {
      uint16_t addend = 0;
      if (length - cursor < 2 || !s.addends.ReadU16(addend) || !apply.Add16(cursor, addend))
        return false;
      cursor += 2;
      state = StateChoose;
    }
  }
  return true;
}

// Corrections applied to the block's bytes in the buffer.
struct CorrectInPlace {
  uint8_t* block;
  bool Add8(uint32_t at, uint8_t addend) {
    block[at] = uint8_t(block[at] + addend);
    return true;
  }
  bool Add16(uint32_t at, uint16_t addend) {
    const uint16_t word = uint16_t(LoadLe16(block + at) + addend);
    block[at] = uint8_t(word);
    block[at + 1] = uint8_t(word >> 8);
    return true;
  }
};

// Corrections only read and checked, before a large block goes out in pieces.
struct CheckOnly {
  bool Add8(uint32_t, uint8_t) { return true; }
  bool Add16(uint32_t, uint16_t) { return true; }
};

// A large block written in pieces: the old bytes up to each addition, then
// the corrected bytes.
struct CorrectInPieces {
  Staging& out;
  const uint8_t* source;
  uint32_t written;
  bool CopyUpTo(uint32_t at) {
    const bool ok = WritePieces(out, source + written, at - written);
    written = at;
    return ok;
  }
  bool Add8(uint32_t at, uint8_t addend) {
    const uint8_t corrected = uint8_t(source[at] + addend);
    if (!CopyUpTo(at)) return false;
    written = at + 1;
    return WritePieces(out, &corrected, 1);
  }
  bool Add16(uint32_t at, uint16_t addend) {
    const uint16_t word = uint16_t(LoadLe16(source + at) + addend);
    const uint8_t corrected[2] = {uint8_t(word), uint8_t(word >> 8)};
    if (!CopyUpTo(at)) return false;
    written = at + 2;
    return WritePieces(out, corrected, 2);
  }
};

bool EmitLiteralRun(Staging& out, DeltaStreams& s) {
  uint32_t lengthMinusOne = 0;
  ByteView run;
  if (!ReadUnsigned(s.lengths, lengthMinusOne) || lengthMinusOne == 0xFFFFFFFFu ||
      !s.literals.ReadBytes(lengthMinusOne + 1, run))
    return false;
  if (uint8_t* room = Room(out, run.size)) {
    memcpy(room, run.data, run.size);
    out.staged += run.size;
    return true;
  }
  return MayWriteAlone(out) && out.output.write(out.output.context, run.data, run.size);
}

// A block larger than the buffer: written only once all its corrections
// proved sound, so that a faulty one leaves nothing of it behind.
bool EmitLargeBlock(Staging& out, DeltaStreams& s, const uint8_t* source, uint32_t length,
                    uint32_t count) {
  const DeltaStreams start = s;
  CheckOnly check;
  if (!ReadCorrections(s, length, count, check)) return false;
  s = start;
  CorrectInPieces pieces{out, source, 0};
  return ReadCorrections(s, length, count, pieces) && pieces.CopyUpTo(length);
}

bool EmitCopyBlock(Staging& out, DeltaStreams& s, ByteView oldData) {
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
  const uint8_t* source = oldData.data + start;
  s.oldEnd = uint32_t(start) + length;
  // A count that is 0 or negative as a signed number leaves the block as it is.
  const uint32_t count = int32_t(patchCount) <= 0 ? 0 : patchCount;

  if (uint8_t* block = Room(out, length)) {
    memcpy(block, source, length);
    CorrectInPlace correct{block};
    if (!ReadCorrections(s, length, count, correct)) return false;
    out.staged += length;
    return true;
  }
  return MayWriteAlone(out) && EmitLargeBlock(out, s, source, length, count);
}

bool DecodeSteps(Staging& out, DeltaStreams& s, ByteView oldData) {
  while (!s.lengths.AtEnd()) {
    uint32_t literalFlag = 0;
    if (!ReadBit(s.literalFlags, literalFlag)) return false;
    if (literalFlag) {
      if (!EmitLiteralRun(out, s)) return false;
      if (s.lengths.AtEnd()) return true;
    }
    if (!EmitCopyBlock(out, s, oldData)) return false;
  }
  return true;
}

bool CommitToMemory(void* context, const uint8_t*, uint32_t length) {
  // The bytes are in place already: the memory is the buffer.
  static_cast<MemoryOutput*>(context)->length += length;
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
  Staging out{output, output.buffer, output.capacity, 0, false};
  const bool whole = DecodeSteps(out, s, oldData);
  // What was staged before a fault is whole steps: it is written too.
  return Flush(out) && whole;
}

DeltaOutput ToMemory(MemoryOutput& memory) {
  return DeltaOutput{&memory, CommitToMemory, memory.data + memory.length,
                     memory.capacity - memory.length, true};
}
