#include "tests/support/stdio_output.h"

#include <cstdlib>

namespace {

bool WriteToStdio(void* context, const uint8_t* bytes, uint32_t length) {
  return std::fwrite(bytes, 1, length, static_cast<std::FILE*>(context)) == length;
}

uint8_t* AllocateBlock(uint32_t length) { return static_cast<uint8_t*>(std::malloc(length)); }
void ReleaseBlock(uint8_t* buffer) { std::free(buffer); }

}  // namespace

DeltaOutput ToStdio(std::FILE* file) {
  return DeltaOutput{file, WriteToStdio, AllocateBlock, ReleaseBlock};
}
