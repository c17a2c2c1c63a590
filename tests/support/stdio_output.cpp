#include "tests/support/stdio_output.h"

namespace {

bool WriteToStdio(void* context, const uint8_t* bytes, uint32_t length) {
  return std::fwrite(bytes, 1, length, static_cast<std::FILE*>(context)) == length;
}

}  // namespace

DeltaOutput ToStdio(std::FILE* file, uint8_t* buffer, uint32_t capacity) {
  return DeltaOutput{file, WriteToStdio, buffer, capacity, false};
}
