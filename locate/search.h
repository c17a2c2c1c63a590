// Finding the installed copy of a file: first in the candidate folders, then
// (for the first search of a file only) on the search path, one level below
// each candidate folder, in a folder the user picks, and on every fixed drive.
#pragma once

#include <stdint.h>

#include "patch/format.h"

constexpr int kSearchDepthShallow = 1;
constexpr int kSearchDepthDeep = 100;
constexpr uint32_t kScanProgressIntervalMs = 100;

// Looks for `name` (which may hold relative folders) in the candidate folders
// after the `searchPosition`-th, accepting a copy whose CRC is in `crcList` (or
// any copy when the list holds 0). `searchPosition` 0 starts a new search and
// may widen it (SearchForFile); after a find it holds the folder's 1-based index
// so that the next call goes on after it. `foundPath` has kPathSize bytes.
bool LocateTargetFile(const char* name, char* foundPath, const uint32_t* crcList,
                      int32_t crcCount, int32_t& searchPosition, bool allowDriveScan);

// The widened search; a file found by a scan moves its folder to the front of
// the candidate folders. Cancel on the drive-scan question sets
// session.cancelled and returns false: the run ends with exit code 1.
bool SearchForFile(const char* name, char* foundPath, const uint32_t* crcList,
                   int32_t crcCount, bool allowDriveScan);

// Scans below `folder` (null or empty: every fixed drive) to `depth` levels.
bool SearchFolderOrDrives(const char* name, const char* folder, char* pathBuffer, int depth,
                          const uint32_t* crcList, int32_t crcCount);

// Looks for `name` in the folder that `pathBuffer` names (ending in a
// separator), asking before it accepts a copy, then in its subfolders.
bool ScanFolder(const char* name, char* pathBuffer, int depth, const uint32_t* crcList,
                int32_t crcCount);

// Writes the next subfolder's name (its short name where it has one that fits)
// at `offset` of `pathBuffer`, which holds a folder and a pattern there.
// `findHandle` is a HANDLE, INVALID_HANDLE_VALUE to start the enumeration.
bool NextSubfolder(void*& findHandle, char* pathBuffer, uint32_t offset);

// Copies `part` to `buffer` at `offset` when it is not empty and ends before
// position 256.
bool AppendPathPart(char* buffer, uint32_t offset, const char* part);
