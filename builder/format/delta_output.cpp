#include "builder/format/delta_output.h"

#include <cstdlib>

namespace {

uint8_t* AllocateBlock(uint32_t length) { return static_cast<uint8_t*>(std::malloc(length)); }
void ReleaseBlock(uint8_t* buffer) { std::free(buffer); }

bool AppendToVector(void* context, const uint8_t* bytes, uint32_t length) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes, bytes + length);
  return true;
}

}  // namespace

DeltaOutput ToVector(Bytes& output) {
  return DeltaOutput{&output, AppendToVector, AllocateBlock, ReleaseBlock};
}

Bytes DecodeDelta(const Bytes& deltaBody, const Bytes& old, bool* complete) {
  Bytes output;
  const bool whole = ApplyDelta(ToVector(output), ViewOf(deltaBody), ViewOf(old));
  if (complete) *complete = whole;
  return output;
}
