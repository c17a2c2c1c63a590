// Opening files for reading (Win32 side).
#pragma once

#include <windows.h>

// Opens an existing file for reading while others may still read or write it.
HANDLE OpenForRead(const char* path);
