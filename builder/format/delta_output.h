// The native output of the delta decoder for the tools and tests: a growing
// byte vector, block buffers from the heap.
#pragma once

#include "builder/format/payload_writer.h"
#include "patch/delta.h"

DeltaOutput ToVector(Bytes& output);

// Decodes `deltaBody` over `old`; `complete` (when given) tells whether the whole
// delta was decoded.
Bytes DecodeDelta(const Bytes& deltaBody, const Bytes& old, bool* complete = nullptr);

inline ByteView ViewOf(const Bytes& bytes) {
  return ByteView{bytes.data(), uint32_t(bytes.size())};
}
