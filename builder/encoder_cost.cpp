#include "builder/encoder_cost.h"

namespace {

int UnsignedNumberBytes(uint64_t value) {
  int bytes = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++bytes;
  }
  return bytes;
}

// Signed numbers keep 6 bits of magnitude in their last byte, 7 in the others.
int SignedNumberBytes(int64_t value) {
  const uint64_t magnitude = value < 0 ? uint64_t(-(value + 1)) : uint64_t(value);
  return magnitude < 64 ? 1 : 1 + UnsignedNumberBytes(magnitude >> 6);
}

}  // namespace

double CorrectionBits(const Correction& correction, uint32_t cursor, const EncoderOptions& options,
                      uint32_t& operations) {
  double bits = 2 * options.controlBits + correction.width * options.addendByteBits;
  operations += 1;
  if (correction.offset > cursor) {
    bits += UnsignedNumberBytes(correction.offset - cursor - 1) * options.numberByteBits;
    operations += 1;
  }
  return bits;
}

double BlockHeaderBits(uint32_t length, int64_t relativePosition, uint32_t operations,
                       const EncoderOptions& options) {
  return options.controlBits +
         options.numberByteBits * (UnsignedNumberBytes(length - 1) +
                                   SignedNumberBytes(relativePosition) +
                                   UnsignedNumberBytes(operations));
}

double LiteralBits(uint32_t length, const EncoderOptions& options) {
  return options.controlBits + options.numberByteBits * UnsignedNumberBytes(length - 1) +
         options.literalByteBits * length;
}

double EstimateCopyBits(const uint8_t* oldBytes, const uint8_t* newBytes, uint32_t length,
                        int64_t relativePosition, const EncoderOptions& options) {
  double bits = 0;
  uint32_t operations = 0, cursor = 0;
  ForEachCorrection(oldBytes, newBytes, length, [&](const Correction& c) {
    bits += CorrectionBits(c, cursor, options, operations);
    cursor = c.offset + c.width;
  });
  return bits + BlockHeaderBits(length, relativePosition, operations, options);
}
