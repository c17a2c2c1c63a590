// The embedded payload container: entries of a NUL-terminated name, a 32-bit
// little-endian length and that many bytes of a zlib stream, back to back up to
// the end of the resource.
#pragma once

#include <stdint.h>

#include "patch/bytes.h"
#include "patch/format.h"

struct PayloadEntry {
  const char* name;     // NUL-terminated inside the payload
  uint32_t nameLength;  // without the NUL
  ByteView data;        // the zlib stream; empty: the entry has no file
};

enum PayloadStatus { PayloadEntryRead, PayloadEnd, PayloadDamaged };

// Reads the entry at the cursor and moves past it. Damaged when the name has
// no NUL, or the length word or the data run past the end of the payload.
PayloadStatus ReadPayloadEntry(ByteCursor& cursor, PayloadEntry& entry);

// True for the names "." and "..", which name a folder, never a file in it.
bool IsDotName(const char* name);

// A name is safe when it can only name a file directly inside the unpack
// folder: not "." or "..", no '\\', '/' or ':', and not empty when the entry
// has data.
bool IsSafeEntryName(const PayloadEntry& entry);

// Checks the whole container (every entry whole and safely named) and builds
// the driver command line into `commandLine` (kDriverCommandLineSize bytes).
// Returns false, before anything is written to disk, when the payload is
// damaged or the command line would not fit.
bool CheckPayload(ByteView payload, bool silent, char* commandLine);
