// The private folder the payload is unpacked into.
#pragma once

#include <windows.h>

// Creates a new folder with an unguessable name inside `parent` (which ends in
// a separator) that only the administrators (or, for a process without
// administrator rights, the user) and the system may open, and writes its path,
// without a trailing separator, into `folder` (MAX_PATH bytes). Never reuses an
// existing folder.
bool CreateUnpackFolder(const char* parent, char* folder);

// Removes `folder` (no trailing separator) with everything in it, to a depth of
// 32 folders; what cannot be removed now is left to the system to remove at the
// next restart. Links and junctions inside are removed as they stand and never
// followed.
void RemoveUnpackFolder(const char* folder);
