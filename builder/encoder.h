// The delta encoder: describes a new file as literal runs and copy blocks from an
// old file, choosing the blocks so that the delta (and the zlib stream that
// carries it) comes out small. Blocks are found through a hash index of the old
// file and extended while enough bytes agree; the bytes that differ inside a block
// become the delta's byte and word additions, which the delta writer derives.
//
// Its parts, in the order they run: encoder_index (the old file's index and gram
// filter), encoder_matcher (blocks and literal runs), encoder_refine (rewrites
// them toward the smallest delta under the estimates of encoder_cost).
#pragma once

#include <stdint.h>

#include <vector>

#include "builder/format/payload_writer.h"
#include "patch/bytes.h"

// One step of a delta, in new-file order. A literal takes new[newOffset, +length)
// from the patch; a copy takes old[oldPosition, +length) and corrects it into
// new[newOffset, +length).
struct DeltaOp {
  enum Kind : uint8_t { kLiteral, kCopy };
  Kind kind;
  uint32_t newOffset;
  uint32_t length;
  uint32_t oldPosition;  // copies only

  bool operator==(const DeltaOp& other) const {
    return kind == other.kind && newOffset == other.newOffset && length == other.length &&
           (kind == kLiteral || oldPosition == other.oldPosition);
  }
};

// What the encoder weighs, in bits of the compressed delta per byte of each
// stream. Literal bytes and the numbers that place blocks compress differently
// under zlib; these weights are estimates, tuned on real executables.
struct EncoderOptions {
  double literalByteBits = 3.5;   // a literal byte of code or data
  double numberByteBits = 7.0;    // a byte of a length, position, count or skip
  double addendByteBits = 2.5;    // addends repeat (relocated pointers share deltas)
  double controlBits = 1.0;       // a literal flag or patch-control bit
  // While extending a block past its exact match, one differing byte must be
  // outweighed by this many agreeing bytes.
  int mismatchPenalty = 1;
  // An exact match must beat the current alignment by this many bytes to start
  // a new block.
  int newBlockGain = 4;
  // The new file is matched in equal parts of at least this many bytes (one
  // part below twice that), side by side when threads allow. The parts are
  // fixed by the size, so the output never depends on timing.
  uint32_t matchPartBytes = 1 << 20;
  // Threads for the index and the matching; 0: as many as the processor runs
  // at once. The output is the same whatever the number.
  uint32_t threads = 0;
};

// The operations that rebuild `newData` from `oldData`: they cover the new file
// front to back without gaps, no two literals in a row, every length above 0 and
// every copy inside the old file. Deterministic: the same inputs give the same
// operations. Files must be smaller than 2 GiB.
std::vector<DeltaOp> EncodeDelta(ByteView oldData, ByteView newData,
                                 const EncoderOptions& options = EncoderOptions());

// The encoder's estimate of what a copy block of `length` bytes from `oldBytes`
// into `newBytes` costs in bits, corrections and block header included, given the
// distance `relativePosition` from the end of the previous block.
double EstimateCopyBits(const uint8_t* oldBytes, const uint8_t* newBytes, uint32_t length,
                        int64_t relativePosition, const EncoderOptions& options);

// The delta body (DeltaHeader and streams) that rebuilds `newData` from `oldData`.
Bytes EncodeDeltaBody(ByteView oldData, ByteView newData,
                      const EncoderOptions& options = EncoderOptions());
