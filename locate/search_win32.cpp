#include "locate/search.h"

#include <windows.h>
#include <shlobj.h>
#include <string.h>

#include "driver/kill_point.h"
#include "driver/session.h"
#include "locate/folders_win32.h"
#include "patch/file_io_win32.h"
#include "patch/header.h"
#include "ui/ui.h"

namespace {

constexpr uint32_t kAttributesNotAFile = 0xFFFF0000u | FILE_ATTRIBUTE_DIRECTORY | 0x08;
constexpr uint32_t kPathPartEnd = 256;  // a subfolder name ends before this position

bool CrcListed(uint32_t crc, const uint32_t* crcList, int32_t crcCount) {
  for (int32_t i = 0; i < crcCount; ++i) {
    if (crcList[i] == crc) return true;
  }
  return false;
}

// SearchPathA into a kPathSize buffer; a result that would not fit is no result.
bool SearchPathInto(const char* searchPath, const char* name, char* foundPath) {
  const DWORD length = SearchPathA(searchPath, name, nullptr, kPathSize, foundPath, nullptr);
  return length != 0 && length < kPathSize;
}

void ShowScanProgress(const char* folder) {
  if (GetTickCount() - session.lastProgressTick <= kScanProgressIntervalMs) return;
  session.lastProgressTick = GetTickCount();
  ShowProgress("%s", folder);
}

// Asks whether the copy found in the folder that `pathBuffer` names (the name
// cut off at `folderLength`) is the one to update.
bool AskToAccept(const char* name, char* pathBuffer, size_t folderLength, bool known) {
  pathBuffer[folderLength] = '\0';
  bool accepted;
  if (known) {
    accepted = Box(BoxYesNo, Key(TextKey::FoundUpdateHere), name, pathBuffer) == AnswerYes;
  } else {
    accepted = Box(BoxYesNo, Key(TextKey::FoundOtherVersion), name, pathBuffer) == AnswerNo;  // No: stop here
  }
  strcpy(pathBuffer + folderLength, name);
  return accepted;
}

// The file `name` directly in the folder of `pathBuffer`, if the user takes it.
bool AcceptFileInFolder(const char* name, char* pathBuffer, size_t folderLength,
                        const uint32_t* crcList, int32_t crcCount) {
  if (folderLength + strlen(name) >= kPathSize) return false;
  strcpy(pathBuffer + folderLength, name);
  const DWORD attributes = READ_CALL("GetFileAttributes", pathBuffer, INVALID_FILE_ATTRIBUTES,
                                     GetFileAttributesA(pathBuffer));
  if ((attributes & kAttributesNotAFile) != 0) return false;
  if (crcCount == 0) return true;
  uint32_t crc;
  if (!FileCrcOf(pathBuffer, crc)) return false;
  return AskToAccept(name, pathBuffer, folderLength, CrcListed(crc, crcList, crcCount));
}

// The folder browser, offered when no candidate folder is known. The picked
// folder becomes the only entry of the list.
bool BrowseForFolder() {
  char title[kPathSize];
  const FormatArg productName[] = {FormatArg(Key(TextKey::ProductName)), FormatArg()};
  FormatText(title, sizeof title, Key(TextKey::BrowsePrompt), productName, 1);

  BROWSEINFOA browse{};
  browse.hwndOwner = static_cast<HWND>(session.progressWindow);
  browse.lpszTitle = title;
  browse.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST item = SHBrowseForFolderA(&browse);
  if (!item) return false;
  const bool gotPath = SHGetPathFromIDListA(item, session.candidateFolders) != FALSE;
  IMalloc* allocator = nullptr;
  if (SUCCEEDED(SHGetMalloc(&allocator))) {
    allocator->Free(item);
    allocator->Release();
  }
  if (!gotPath) session.candidateFolders[0] = '\0';
  return session.candidateFolders[0] != '\0';
}

}  // namespace

bool AppendPathPart(char* buffer, uint32_t offset, const char* part) {
  const size_t length = strlen(part);
  if (length == 0 || offset + length >= kPathPartEnd) return false;
  memcpy(buffer + offset, part, length + 1);
  return true;
}

bool NextSubfolder(void*& findHandle, char* pathBuffer, uint32_t offset) {
  WIN32_FIND_DATAA entry;
  for (;;) {
    if (findHandle == INVALID_HANDLE_VALUE) {
      findHandle = FindFirstFileA(pathBuffer, &entry);
      if (findHandle == INVALID_HANDLE_VALUE) return false;
    } else if (!FindNextFileA(findHandle, &entry)) {
      return false;
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0) continue;
    if (AppendPathPart(pathBuffer, offset, entry.cAlternateFileName) ||
        AppendPathPart(pathBuffer, offset, entry.cFileName)) {
      return true;
    }
  }
}

bool ScanFolder(const char* name, char* pathBuffer, int depth, const uint32_t* crcList,
                int32_t crcCount) {
  ShowScanProgress(pathBuffer);
  const size_t folderLength = strlen(pathBuffer);
  if (AcceptFileInFolder(name, pathBuffer, folderLength, crcList, crcCount)) return true;
  if (depth <= 0 || folderLength + sizeof "*.*" > kPathSize) return false;

  strcpy(pathBuffer + folderLength, "*.*");
  void* find = INVALID_HANDLE_VALUE;
  bool found = false;
  while (!found && NextSubfolder(find, pathBuffer, uint32_t(folderLength))) {
    strcat(pathBuffer + folderLength, "\\");
    found = ScanFolder(name, pathBuffer, depth - 1, crcList, crcCount);
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  return found;
}

bool SearchFolderOrDrives(const char* name, const char* folder, char* pathBuffer, int depth,
                          const uint32_t* crcList, int32_t crcCount) {
  if (folder && folder[0] != '\0') {
    if (strlen(folder) >= kPathSize) return false;
    strcpy(pathBuffer, folder);
    if (!EnsureTrailingSeparator(pathSystem, pathBuffer, kPathSize)) return false;
    return ScanFolder(name, pathBuffer, depth, crcList, crcCount);
  }
  char root[] = "A:\\";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    root[0] = letter;
    if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
    strcpy(pathBuffer, root);
    if (ScanFolder(name, pathBuffer, depth, crcList, crcCount)) return true;
  }
  return false;
}

namespace {

// The whole list, then the system's default order; a name with folders is
// tried whole, then as its bare last component, which is returned.
bool SearchOnPath(const char* name, char* foundPath, const char*& bareName) {
  bareName = name;
  for (;;) {
    if (session.candidateFolders[0] != '\0' &&
        SearchPathInto(session.candidateFolders, bareName, foundPath)) {
      return true;
    }
    if (SearchPathInto(nullptr, bareName, foundPath)) return true;
    const char* namePart = FindFileNamePart(pathSystem, bareName);
    if (namePart == bareName) return false;
    bareName = namePart;
  }
}

bool ScanBelowCandidates(const char* name, char* foundPath, const uint32_t* crcList,
                         int32_t crcCount) {
  const char* cursor = session.candidateFolders;
  char folder[kPathSize];
  while (NextFolder(cursor, folder)) {
    if (SearchFolderOrDrives(name, folder, foundPath, kSearchDepthShallow, crcList, crcCount)) {
      return true;
    }
  }
  return false;
}

bool SearchPickedFolder(const char* name, char* foundPath, const uint32_t* crcList,
                        int32_t crcCount) {
  if (!BrowseForFolder()) return false;
  // The list holds the picked folder alone, as the browser wrote it.
  if (SearchPathInto(session.candidateFolders, name, foundPath)) return true;
  return SearchFolderOrDrives(name, session.candidateFolders, foundPath, kSearchDepthDeep,
                              crcList, crcCount);
}

bool ScanDrivesIfWanted(const char* name, char* foundPath, const uint32_t* crcList,
                        int32_t crcCount) {
  const int answer = Box(BoxYesNoCancel, Key(TextKey::DriveScanSlow), name);
  if (answer == AnswerNo) return false;
  // Cancel ends the whole run; it unwinds so that what was unpacked is removed.
  if (answer == AnswerCancel) {
    session.cancelled = 1;
    return false;
  }
  return SearchFolderOrDrives(name, nullptr, foundPath, kSearchDepthDeep, crcList, crcCount);
}

}  // namespace

bool SearchForFile(const char* name, char* foundPath, const uint32_t* crcList,
                   int32_t crcCount, bool allowDriveScan) {
  const char* bareName;
  if (SearchOnPath(name, foundPath, bareName)) return true;

  bool found = ScanBelowCandidates(bareName, foundPath, crcList, crcCount);
  if (!found && session.silent) return false;
  // With no folder known the user is asked for one, for any group: a picked
  // folder is also where a new file is created.
  if (!found && session.candidateFolders[0] == '\0') {
    found = SearchPickedFolder(bareName, foundPath, crcList, crcCount);
  }
  if (!found) {
    if (!allowDriveScan) return false;
    found = ScanDrivesIfWanted(bareName, foundPath, crcList, crcCount);
    if (!found) return false;
  }
  AddParentFolder(candidateFolders, foundPath);
  return true;
}

bool LocateTargetFile(const char* name, char* foundPath, const uint32_t* crcList,
                      int32_t crcCount, int32_t& searchPosition, bool allowDriveScan) {
  const char* cursor = session.candidateFolders;
  char folder[kFolderEntrySize];
  int32_t index = 0;
  while (NextFolder(cursor, folder)) {
    ++index;
    if (searchPosition >= index) continue;
    if (!SearchPathInto(folder, name, foundPath)) continue;
    uint32_t crc;
    if (!FileCrcOf(foundPath, crc)) continue;
    if (CrcListed(crc, crcList, crcCount) || CrcListed(0, crcList, crcCount)) {
      searchPosition = index;
      return true;
    }
  }
  if (searchPosition != 0) {
    searchPosition = index;
    return false;
  }
  searchPosition = index + 1;
  return SearchForFile(name, foundPath, crcList, crcCount, allowDriveScan);
}
