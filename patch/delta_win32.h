// The delta decoder writing into an open file.
#pragma once

#include <windows.h>

#include "patch/delta.h"

// The buffer in which decoded bytes are gathered for WriteFile: one LocalAlloc
// per file, so that a file of any size takes a few dozen writes.
constexpr uint32_t kFileOutputBufferSize = 256 * 1024;

// Output into `file` with WriteFile, gathered in `buffer` of `capacity` bytes.
DeltaOutput ToFile(HANDLE file, uint8_t* buffer, uint32_t capacity);

// Rebuilds the new file from `deltaBody` over `oldData` into `output`, open for
// writing at its start. A faulty delta (or a buffer that could not be had)
// leaves the file short; the caller's CRC check of the written file then
// rejects it. True when the whole delta was written.
bool ApplyDelta(HANDLE output, ByteView deltaBody, ByteView oldData);
