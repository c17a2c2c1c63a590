// Reproducible random bytes for tests: the same size and seed give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "builder/format/payload_writer.h"

inline Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = uint8_t(random());
  return bytes;
}
