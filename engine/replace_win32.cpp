#include "engine/replace.h"

#include <windows.h>
#include <shellapi.h>
#include <string.h>

#include "driver/kill_point.h"
#include "driver/session.h"
#include "locate/folders_win32.h"
#include "patch/crc32.h"
#include "patch/delta_win32.h"
#include "patch/file_io_win32.h"
#include "patch/header.h"
#include "patch/plan.h"
#include "ui/ui.h"

namespace {

constexpr char kTempSuffix[] = ".~up";
constexpr size_t kTempSuffixLength = sizeof kTempSuffix - 1;
constexpr DWORD kClearedAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD kSecurityBufferSize = 16384;

// out = path + ".~up", when it fits a path buffer; shows nothing.
bool AppendTempSuffix(const char* path, char* out) {
  const size_t length = strlen(path);
  if (length + kTempSuffixLength >= MAX_PATH) return false;
  memcpy(out, path, length);
  memcpy(out + length, kTempSuffix, sizeof kTempSuffix);
  return true;
}

}  // namespace

bool OpenMappedFile(const char* path, bool wholeFile, uint32_t size, MappedFile& mapped) {
  mapped = MappedFile{};
  HANDLE file = OpenForRead(path);
  if (file == INVALID_HANDLE_VALUE) {
    ErrorBox(Key(TextKey::CannotOpen), path, unsigned(GetLastError()));
    return false;
  }
  mapped.file = file;
  mapped.size = wholeFile ? GetFileSize(file, nullptr) : size;
  // An empty file is a file like any other: CRC 0, nothing to map.
  if (mapped.size == 0) return true;
  mapped.mapping =
      READ_CALL("CreateFileMapping", path, nullptr,
                CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, mapped.size, nullptr));
  if (mapped.mapping) {
    mapped.view = static_cast<const uint8_t*>(READ_CALL(
        "MapViewOfFile", path, nullptr, MapViewOfFile(mapped.mapping, FILE_MAP_READ, 0, 0, 0)));
  }
  if (!mapped.view) {
    const unsigned error = unsigned(GetLastError());
    ReleaseMappedFile(mapped);
    ErrorBox(Key(TextKey::CannotMap), path, error);
    return false;
  }
  return true;
}

void ReleaseMappedFile(MappedFile& mapped) {
  if (mapped.view) UnmapViewOfFile(mapped.view);
  if (mapped.mapping) CloseHandle(mapped.mapping);
  if (mapped.file) CloseHandle(mapped.file);
  mapped = MappedFile{};
}

namespace {

// The new content: a delta over the old file, or the record's whole body. A
// short or failed write is caught by the CRC check that follows.
bool WriteNewContent(HANDLE temp, const FileRecord& record, const MappedFile& oldFile) {
  const ByteView body = RecordBody(record);
  if (oldFile.file && record.oldSize != 0)
    return ApplyDelta(temp, body, ByteView{oldFile.view, oldFile.size});
  DWORD written = 0;
  return WriteFile(temp, body.data, body.size, &written, nullptr) != FALSE;
}

// Writes, verifies and stamps the temporary file; the old file is released as
// soon as the new content is written. False: key 29 shown, nothing left.
bool ProduceVerifiedFile(const FileRecord& record, MappedFile& oldFile, const char* targetPath,
                         const char* tempPath, uint32_t& crc, uint32_t& size) {
  HANDLE temp = CHANGE_CALL("CreateFile", tempPath, INVALID_HANDLE_VALUE,
                            CreateFileA(tempPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (temp == INVALID_HANDLE_VALUE) {
    ErrorBox(Key(TextKey::CannotCreateTemp), tempPath);
    ReleaseMappedFile(oldFile);
    return false;
  }
  CHANGE_CALL("WriteFile", tempPath, false, WriteNewContent(temp, record, oldFile));
  ReleaseMappedFile(oldFile);

  crc = READ_CALL("MapViewOfFile", tempPath, 0, FileCrc32(temp));
  size = GetFileSize(temp, nullptr);
  FlushFileBuffers(temp);
  FILETIME lastWrite;
  lastWrite.dwLowDateTime = record.lastWriteTimeLow;
  lastWrite.dwHighDateTime = record.lastWriteTimeHigh;
  CHANGE_CALL("SetFileTime", tempPath, FALSE, SetFileTime(temp, nullptr, nullptr, &lastWrite));
  const bool closed = CloseHandle(temp) != FALSE;
  if (closed && crc == record.newCrc) return true;
  ErrorBox(Key(TextKey::UpdateFailed), targetPath);
  CHANGE_CALL("DeleteFile", tempPath, FALSE, DeleteFileA(tempPath));
  return false;
}

// The system's renames for the next restart: source and target names in turn,
// "\??\" before each path. The buffer holds a few dozen; a longer list is not
// read, and counts as naming every file.
constexpr DWORD kPendingRenamesSize = 8192;
constexpr char kSessionManagerKey[] = "System\\CurrentControlSet\\Control\\Session Manager";
constexpr char kNtPathPrefix[] = "\\??\\";

bool IsPendingSource(const char* name, const char* path) {
  const size_t prefixLength = sizeof kNtPathPrefix - 1;
  if (strncmp(name, kNtPathPrefix, prefixLength) == 0) name += prefixLength;
  return lstrcmpiA(name, path) == 0;
}

// True when a rename at the next restart may move `path`: the system's list
// names it as a source or is too long to read whole; on the 9x family, the
// "rename" section of WININIT.INI holds any rename at all (its short paths are
// not compared).
bool MayMoveAtRestart(const char* path, bool isNt) {
  static char names[kPendingRenamesSize + 2];
  if (!isNt)
    return READ_CALL("GetPrivateProfileSection", "WININIT.INI", 0,
                     GetPrivateProfileSectionA("rename", names, kPendingRenamesSize,
                                               "WININIT.INI")) > 0;
  HKEY key;
  if (READ_CALL("RegOpenKeyEx", kSessionManagerKey, FailPointError(),
                RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE,
                              &key)) != ERROR_SUCCESS)
    return false;
  DWORD size = kPendingRenamesSize;
  const LONG result = READ_CALL("RegQueryValueEx", "PendingFileRenameOperations", FailPointError(),
                                RegQueryValueExA(key, "PendingFileRenameOperations", nullptr,
                                                 nullptr, reinterpret_cast<BYTE*>(names), &size));
  RegCloseKey(key);
  if (result == ERROR_MORE_DATA) return true;
  if (result != ERROR_SUCCESS || size > kPendingRenamesSize) return false;
  // The value need not end with its NULs; a deletion's target is an empty name.
  names[size] = names[size + 1] = '\0';
  bool isSource = true;
  for (const char* name = names; name < names + size; name += strlen(name) + 1, isSource = !isSource)
    if (isSource && IsPendingSource(name, path)) return true;
  return false;
}

// A "<target>.~up" that the restart may move over the target: one left by an
// earlier run, or one that a rename still pending from an earlier run names.
// Written over, a run cut short would leave a half-written file for the
// restart to move.
bool MayBeWaiting(const char* tempPath, bool isNt) {
  return IsExistingFile(tempPath) || MayMoveAtRestart(tempPath, isNt);
}

// With `besideWaiting` (MayBeWaiting), the new content is made beside
// "<target>.~up" and takes its place only once verified. A run cut short
// between that delete and rename leaves the restart nothing to move and the
// target as it was. False: the error shown, nothing left.
bool ProduceTempFile(const FileRecord& record, MappedFile& oldFile, const char* targetPath,
                     const char* tempPath, bool besideWaiting, uint32_t& crc, uint32_t& size) {
  char stagingPath[MAX_PATH];
  if (!besideWaiting || !AppendTempSuffix(tempPath, stagingPath))
    return ProduceVerifiedFile(record, oldFile, targetPath, tempPath, crc, size);
  if (!ProduceVerifiedFile(record, oldFile, targetPath, stagingPath, crc, size)) return false;
  CHANGE_CALL("DeleteFile", tempPath, FALSE, DeleteFileA(tempPath));
  if (CHANGE_CALL("MoveFile", stagingPath, FALSE, MoveFileA(stagingPath, tempPath))) return true;
  ErrorBox(Key(TextKey::CannotCreateTemp), tempPath);
  CHANGE_CALL("DeleteFile", stagingPath, FALSE, DeleteFileA(stagingPath));
  return false;
}

// The rename for the next restart: the system's pending renames on the NT
// family, the "rename" section of WININIT.INI (short paths) elsewhere.
bool DeferRename(char* targetPath, char* tempPath, bool isNt) {
  if (isNt) {
    return CHANGE_CALL("MoveFileEx", tempPath, FALSE,
                       MoveFileExA(tempPath, targetPath,
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) != FALSE;
  }
  GetShortPathNameA(targetPath, targetPath, MAX_PATH);
  GetShortPathNameA(tempPath, tempPath, MAX_PATH);
  return CHANGE_CALL("WritePrivateProfileString", tempPath, FALSE,
                     WritePrivateProfileStringA("rename", targetPath, tempPath, "WININIT.INI")) !=
         FALSE;
}

// After a rename that failed: the temporary file goes, unless it is the only
// new copy of a target that is gone (the next run puts it in place).
void RemoveUnplacedFile(const char* targetPath, const char* tempPath, bool waiting) {
  if (waiting || IsExistingFile(targetPath))
    CHANGE_CALL("DeleteFile", tempPath, FALSE, DeleteFileA(tempPath));
}

// Puts the verified temporary file in place of the target. When the target is
// in use the rename waits for the restart, `waiting` is set and the buffers
// swap roles, so the waiting file is what any further record works on. A
// waiting file is never deferred again: the restart would move it into place
// before its own replacement and leave the older version.
bool PutInPlace(char*& targetPath, char*& tempPath, int chainStep, bool& waiting, bool isNt) {
  targetPath[strlen(targetPath) + 1] = '\0';
  // Attributes first: where the system keeps the read-only bit in the file's
  // permissions (Wine), the copied descriptor would make the new file read-only.
  CHANGE_CALL("SetFileAttributes", targetPath, FALSE,
              SetFileAttributesA(targetPath, GetFileAttributesA(targetPath) & ~kClearedAttributes));
  CopyFileSecurity(targetPath, tempPath);
  if (chainStep == 0) MoveToRecycleBin(targetPath);
  CHANGE_CALL("DeleteFile", targetPath, FALSE, DeleteFileA(targetPath));
  if (CHANGE_CALL("MoveFile", tempPath, FALSE, MoveFileA(tempPath, targetPath))) return true;

  if (waiting || !DeferRename(targetPath, tempPath, isNt)) {
    ErrorBox(Key(TextKey::RenameFailed), tempPath, targetPath);
    RemoveUnplacedFile(targetPath, tempPath, waiting);
    return false;
  }
  session.rebootNeeded = 1;
  waiting = true;
  char* waitingPath = tempPath;
  tempPath = targetPath;
  targetPath = waitingPath;
  return true;
}

// tempPath = targetPath + ".~up"; an error box when it does not fit.
bool MakeTempPath(const char* targetPath, char* tempPath) {
  if (AppendTempSuffix(targetPath, tempPath)) return true;
  char shown[MAX_PATH + sizeof kTempSuffix];
  lstrcpynA(shown, targetPath, MAX_PATH);
  strcat(shown, kTempSuffix);
  ErrorBox(Key(TextKey::CannotCreateTemp), shown);
  return false;
}

}  // namespace

void RemoveLeftStagingFile(const char* targetPath) {
  char waitingPath[MAX_PATH];
  char leftPath[MAX_PATH];
  if (!AppendTempSuffix(targetPath, waitingPath) || !AppendTempSuffix(waitingPath, leftPath) ||
      !IsExistingFile(leftPath))
    return;
  CHANGE_CALL("DeleteFile", leftPath, FALSE, DeleteFileA(leftPath));
}

ChainOutcome ApplyRecordChain(ByteView records, uint32_t groupStart, uint32_t groupEnd,
                              const FileRecord& chosen, MappedFile& oldFile, char* targetPath,
                              char* tempPath, bool isNt) {
  const int maxSteps = CountRecords(records, groupStart, groupEnd);
  FileRecord record = chosen;
  bool waiting = false;
  for (int chainStep = 0;; ++chainStep) {
    if (!MakeTempPath(targetPath, tempPath)) {
      ReleaseMappedFile(oldFile);
      return ChainOutcome::Failed;
    }
    uint32_t crc = 0;
    uint32_t size = 0;
    if (!ProduceTempFile(record, oldFile, targetPath, tempPath, MayBeWaiting(tempPath, isNt), crc,
                         size))
      return ChainOutcome::Failed;
    if (!PutInPlace(targetPath, tempPath, chainStep, waiting, isNt)) return ChainOutcome::Failed;

    if (!FindContinuation(records, groupStart, groupEnd, crc, size, record))
      return ChainOutcome::Finished;
    if (chainStep + 1 >= maxSteps) return ChainOutcome::CutShort;
    if (!OpenMappedFile(targetPath, false, size, oldFile)) return ChainOutcome::Failed;
  }
}

namespace {

// Renames `waitingPath` ("<target>.~up") onto its target when the target is
// missing and the waiting file holds one of `newCrcs`.
bool FinishWaitingReplacement(const char* waitingPath, const uint32_t* newCrcs, int newCrcCount) {
  char targetPath[MAX_PATH];
  const size_t length = strlen(waitingPath);
  if (length <= kTempSuffixLength || length >= MAX_PATH) return false;
  memcpy(targetPath, waitingPath, length - kTempSuffixLength);
  targetPath[length - kTempSuffixLength] = '\0';
  if (READ_CALL("GetFileAttributes", targetPath, INVALID_FILE_ATTRIBUTES,
                GetFileAttributesA(targetPath)) != INVALID_FILE_ATTRIBUTES ||
      !IsExistingFile(waitingPath))
    return false;
  uint32_t crc = 0;
  if (!FileCrcOf(waitingPath, crc) || !IsCrcListed(newCrcs, newCrcCount, crc)) return false;
  return CHANGE_CALL("MoveFile", waitingPath, FALSE, MoveFileA(waitingPath, targetPath)) != FALSE;
}

// "<folder>\<name>.~up"; false when it does not fit.
bool MakeWaitingPath(const char* folder, const char* name, char* waitingPath) {
  strcpy(waitingPath, folder);
  if (!EnsureTrailingSeparator(pathSystem, waitingPath, kPathSize)) return false;
  if (strlen(waitingPath) + strlen(name) + kTempSuffixLength >= MAX_PATH) return false;
  strcat(waitingPath, name);
  strcat(waitingPath, kTempSuffix);
  return true;
}

}  // namespace

int RecoverWaitingReplacements(const char* name, const uint32_t* newCrcs, int newCrcCount) {
  int recovered = 0;
  char folder[kFolderEntrySize];
  char waitingPath[MAX_PATH];
  const char* cursor = session.candidateFolders;
  while (NextFolder(cursor, folder)) {
    if (MakeWaitingPath(folder, name, waitingPath) &&
        FinishWaitingReplacement(waitingPath, newCrcs, newCrcCount))
      ++recovered;
  }
  if (session.candidateFolders[0] != '\0') return recovered;
  // No folder is known: the search path, where the search for the file itself
  // looks too.
  char waitingName[MAX_PATH];
  if (!AppendTempSuffix(name, waitingName)) return recovered;
  const DWORD found = SearchPathA(nullptr, waitingName, nullptr, MAX_PATH, waitingPath, nullptr);
  if (found > 0 && found < MAX_PATH && FinishWaitingReplacement(waitingPath, newCrcs, newCrcCount))
    ++recovered;
  return recovered;
}

bool CopyFileSecurity(const char* sourcePath, const char* destinationPath) {
  static uint8_t source[kSecurityBufferSize];
  static uint8_t destination[kSecurityBufferSize];
  memset(source, 0, sizeof source);
  memset(destination, 0, sizeof destination);
  SECURITY_INFORMATION information = 0xFFFFFFFFu;
  DWORD sourceLength = 0;
  DWORD destinationLength = 0;

  if (!READ_CALL("GetFileSecurity", sourcePath, FALSE,
                 GetFileSecurityA(sourcePath, information, source, sizeof source,
                                  &sourceLength))) {
    // Take each part of the descriptor that the process may read.
    information = 0;
    for (int bit = 0; bit < 32; ++bit) {
      const SECURITY_INFORMATION part = SECURITY_INFORMATION(1u) << bit;
      if (GetFileSecurityA(sourcePath, information | part, source, sizeof source,
                           &sourceLength)) {
        information |= part;
      }
    }
    if (!READ_CALL("GetFileSecurity", sourcePath, FALSE,
                 GetFileSecurityA(sourcePath, information, source, sizeof source,
                                  &sourceLength))) {
      return false;
    }
  }
  const bool destinationRead = GetFileSecurityA(destinationPath, information, destination,
                                                sizeof destination, &destinationLength) != FALSE;
  if (destinationRead && sourceLength == destinationLength &&
      memcmp(source, destination, sourceLength) == 0) {
    return true;
  }
  return CHANGE_CALL("SetFileSecurity", destinationPath, FALSE,
                     SetFileSecurityA(destinationPath, information, source)) != FALSE;
}

bool MoveToRecycleBin(const char* path) {
  SHFILEOPSTRUCTA operation{};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = path;
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_ALLOWUNDO;
  return CHANGE_CALL("RecycleFile", path, ERROR_ACCESS_DENIED, SHFileOperationA(&operation)) == 0;
}

bool IsNtFamily() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;  // 148
  return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

namespace {

int32_t LastErrorAsHresult() {
  const DWORD error = GetLastError();
  if (int32_t(error) > 0) return int32_t((error & 0xFFFF) | 0x80070000u);
  return int32_t(error);
}

HANDLE ProcessToken() {
  static HANDLE token = nullptr;  // kept open for the life of the process
  if (!token && !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                  &token))
    token = nullptr;
  return token;
}

}  // namespace

int32_t EnablePrivilege(const char* privilegeName, bool enable, void* token) {
  HANDLE handle = token ? HANDLE(token) : ProcessToken();
  if (!handle) return LastErrorAsHresult();
  LUID id;
  if (!LookupPrivilegeValueA(nullptr, privilegeName, &id)) return LastErrorAsHresult();

  // The first call reports the privilege's attributes, so the second can change
  // only the enabled bit and keep the others.
  TOKEN_PRIVILEGES state{};
  state.PrivilegeCount = 1;
  state.Privileges[0].Luid = id;
  state.Privileges[0].Attributes = 0;
  TOKEN_PRIVILEGES previous{};
  DWORD previousLength = sizeof previous;
  if (!AdjustTokenPrivileges(handle, FALSE, &state, sizeof previous, &previous, &previousLength))
    return LastErrorAsHresult();

  // A privilege whose attributes did not change is not reported: it was off.
  if (previous.PrivilegeCount == 0) previous.Privileges[0].Attributes = 0;
  previous.PrivilegeCount = 1;
  previous.Privileges[0].Luid = id;
  if (enable) previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
  else previous.Privileges[0].Attributes &= ~DWORD(SE_PRIVILEGE_ENABLED);
  if (!AdjustTokenPrivileges(handle, FALSE, &previous, sizeof previous, nullptr, nullptr))
    return LastErrorAsHresult();
  return 0;
}
