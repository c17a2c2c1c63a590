// The delta decoder writing into an open file.
#pragma once

#include <windows.h>

#include "patch/delta.h"

// Output into `file` with WriteFile: literal runs straight from the patch, one
// write per copy block from its buffer (LocalAlloc, LMEM_FIXED).
DeltaOutput ToFile(HANDLE file);

// Rebuilds the new file from `deltaBody` over `oldData` into `output`, open for
// writing at its start. A faulty delta leaves the file short; the caller's CRC
// check of the written file then rejects it. True when the whole delta was written.
inline bool ApplyDelta(HANDLE output, ByteView deltaBody, ByteView oldData) {
  return ApplyDelta(ToFile(output), deltaBody, oldData);
}
