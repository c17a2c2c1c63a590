// Opening and checksumming files (Win32 side).
#pragma once

#include <windows.h>
#include <stdint.h>

// Opens an existing file for reading while others may still read or write it.
// INVALID_HANDLE_VALUE on failure (GetLastError tells why).
HANDLE OpenForRead(const char* path);

// True when `path` names an existing file, not a folder.
bool IsExistingFile(const char* path);

// CRC-32 of the whole file through a read-only mapping; 0 when the file cannot
// be mapped (an empty file among them, whose CRC is 0 anyway). Works on a
// handle open for reading or for writing; the file pointer does not move.
uint32_t FileCrc32(HANDLE file);

// CRC-32 of the whole file at `path` (OpenForRead, FileCrc32, closed again);
// false when it does not open.
bool FileCrcOf(const char* path, uint32_t& crc);
