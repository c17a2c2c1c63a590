#include "patch/delta_win32.h"

namespace {

bool WriteToFile(void* context, const uint8_t* bytes, uint32_t length) {
  DWORD written = 0;
  return WriteFile(static_cast<HANDLE>(context), bytes, length, &written, nullptr) &&
         written == length;
}

uint8_t* AllocateLocal(uint32_t length) {
  return static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, length));
}

void ReleaseLocal(uint8_t* buffer) { LocalFree(buffer); }

}  // namespace

DeltaOutput ToFile(HANDLE file) { return DeltaOutput{file, WriteToFile, AllocateLocal, ReleaseLocal}; }
