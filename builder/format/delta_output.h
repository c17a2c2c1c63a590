// The native output of the delta decoder for the tools and tests: a growing
// byte vector.
#pragma once

#include "builder/format/payload_writer.h"
#include "patch/delta.h"

// Decodes `deltaBody` over `old`; `complete` (when given) tells whether the whole
// delta was decoded. On a fault the result holds the steps before it.
Bytes DecodeDelta(ByteView deltaBody, ByteView old, bool* complete = nullptr);

inline ByteView ViewOf(const Bytes& bytes) {
  return ByteView{bytes.data(), uint32_t(bytes.size())};
}

inline Bytes DecodeDelta(const Bytes& deltaBody, const Bytes& old, bool* complete = nullptr) {
  return DecodeDelta(ViewOf(deltaBody), ViewOf(old), complete);
}
