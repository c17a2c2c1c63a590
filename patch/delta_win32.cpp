#include "patch/delta_win32.h"

namespace {

bool WriteToFile(void* context, const uint8_t* bytes, uint32_t length) {
  DWORD written = 0;
  return WriteFile(static_cast<HANDLE>(context), bytes, length, &written, nullptr) &&
         written == length;
}

}  // namespace

DeltaOutput ToFile(HANDLE file, uint8_t* buffer, uint32_t capacity) {
  return DeltaOutput{file, WriteToFile, buffer, capacity, false};
}

bool ApplyDelta(HANDLE output, ByteView deltaBody, ByteView oldData) {
  uint8_t* buffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, kFileOutputBufferSize));
  if (!buffer) return false;
  const bool whole = ApplyDelta(ToFile(output, buffer, kFileOutputBufferSize), deltaBody, oldData);
  LocalFree(buffer);
  return whole;
}
