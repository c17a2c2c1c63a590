// The private folder the payload is unpacked into.
#pragma once

#include <windows.h>

// Creates a new folder with an unguessable name inside `parent` (which ends in
// a separator) that only the administrators (or, for a process without
// administrator rights, the user) and the system may open, and writes its path,
// without a trailing separator, into `folder` (MAX_PATH bytes). Never reuses an
// existing folder.
bool CreateUnpackFolder(const char* parent, char* folder);
