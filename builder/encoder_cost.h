// The delta encoder's cost model: what literal runs, copy blocks and the
// corrections inside blocks are estimated to cost, in bits of the compressed
// delta, under the weights of EncoderOptions.
#pragma once

#include <stdint.h>

#include <cstring>

#include "builder/encoder.h"

// One correction inside a copy block: a byte add or a 16-bit word add at `offset`.
struct Correction {
  uint32_t offset;
  uint32_t width;
};

// Walks the bytes that differ between `oldBytes` and `newBytes` as the delta
// writer covers them: two neighbouring changed bytes take one word add, a lone
// one a byte add. Calls visit(correction) for each in order.
template <typename Visit>
void ForEachCorrection(const uint8_t* oldBytes, const uint8_t* newBytes, uint32_t length,
                       Visit visit) {
  uint32_t i = 0;
  while (i < length) {
    // Skip agreeing bytes eight at a time.
    while (length - i >= 8) {
      uint64_t a, b;
      std::memcpy(&a, oldBytes + i, 8);
      std::memcpy(&b, newBytes + i, 8);
      if (a != b) break;
      i += 8;
    }
    while (i < length && oldBytes[i] == newBytes[i]) ++i;
    if (i == length) break;
    const uint32_t width = (i + 1 < length && oldBytes[i + 1] != newBytes[i + 1]) ? 2 : 1;
    visit(Correction{i, width});
    i += width;
  }
}

// Bits that a correction costs when the block's cursor stands at `cursor`; adds
// the patch operations it takes (the addition, and a skip to reach it) to
// `operations`.
double CorrectionBits(const Correction& correction, uint32_t cursor, const EncoderOptions& options,
                      uint32_t& operations);

// Bits of a copy block's header: its flag, length, distance from the previous
// block and number of patch operations.
double BlockHeaderBits(uint32_t length, int64_t relativePosition, uint32_t operations,
                       const EncoderOptions& options);

// Bits of a literal run of `length` bytes, header included.
double LiteralBits(uint32_t length, const EncoderOptions& options);
