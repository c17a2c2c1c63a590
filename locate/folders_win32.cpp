#include "locate/folders_win32.h"

#include <windows.h>

#include "driver/kill_point.h"
#include "driver/session.h"

namespace {

bool SystemIsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

bool SystemIsDirectory(const char* path) {
  const DWORD attributes =
      READ_CALL("GetFileAttributes", path, INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SystemEqualNoCase(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

}  // namespace

const PathSystem pathSystem = {SystemIsLeadByte, SystemIsDirectory, SystemEqualNoCase};
const FolderList candidateFolders = {session.candidateFolders, &pathSystem};
