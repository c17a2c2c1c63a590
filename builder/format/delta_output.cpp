#include "builder/format/delta_output.h"

namespace {

// Decoded steps are gathered in a buffer of this size and appended to the
// vector in large pieces.
constexpr uint32_t kStagingSize = 1 << 20;

bool AppendToVector(void* context, const uint8_t* bytes, uint32_t length) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes, bytes + length);
  return true;
}

}  // namespace

Bytes DecodeDelta(ByteView deltaBody, ByteView old, bool* complete) {
  Bytes output, staging(kStagingSize);
  // A new file is mostly about as large as the old one.
  output.reserve(old.size + old.size / 8);
  const DeltaOutput sink{&output, AppendToVector, staging.data(), kStagingSize, false};
  const bool whole = ApplyDelta(sink, deltaBody, old);
  if (complete) *complete = whole;
  return output;
}
