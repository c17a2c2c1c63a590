#include "engine/records.h"

#include <windows.h>
#include <string.h>

#include "driver/session.h"
#include "engine/replace.h"
#include "locate/folders_win32.h"
#include "locate/search.h"
#include "patch/crc32.h"
#include "patch/header.h"
#include "patch/plan.h"
#include "patch/records.h"
#include "ui/ui.h"

namespace {

// The installed copy under work: its mapping (none for a file being created),
// its CRC and size.
struct InstalledCopy {
  MappedFile file;
  uint32_t crc;
  uint32_t size;
};

// The path of a file the group creates: beside the last file located or
// created, else in the first candidate folder. False when it does not fit.
bool MakeCreatedPath(const char* name, const char* lastBaseFolder, char* targetPath) {
  if (lastBaseFolder[0] == '\0') return MakeNewFilePath(candidateFolders, name, targetPath);
  if (strlen(lastBaseFolder) + strlen(name) >= kPathSize) return false;
  strcpy(targetPath, lastBaseFolder);
  strcat(targetPath, name);
  return true;
}

// The folder against which `name` was resolved: `path` without the name's length.
void SetLastBaseFolder(char* lastBaseFolder, const char* path, const char* name) {
  const size_t pathLength = strlen(path);
  const size_t nameLength = strlen(name);
  const size_t baseLength = pathLength > nameLength ? pathLength - nameLength : 0;
  memcpy(lastBaseFolder, path, baseLength);
  lastBaseFolder[baseLength] = '\0';
}

bool OpenInstalledCopy(const char* path, InstalledCopy& copy) {
  if (!OpenMappedFile(path, true, 0, copy.file)) return false;
  copy.size = copy.file.size;
  copy.crc = copy.file.view ? Crc32(copy.file.view, copy.size) : 0;
  return true;
}

void ShowUpdatingFile(const char* name) { ShowProgress(Key(TextKey::UpdatingFile), FindFileNamePart(pathSystem, name)); }

}  // namespace

bool ApplyRecords(const uint8_t* recordsStart, uint32_t length) {
  const ByteView records{recordsStart, length};
  const bool isNt = IsNtFamily();
  int32_t searchPosition = 0;
  char lastBaseFolder[kPathSize] = "";
  char pathBuffers[2][kEnginePathSize];

  FileRecord first;
  uint32_t offset = 0;
  while (ReadRecord(records, offset, first)) {
    char* targetPath = pathBuffers[0];
    char* tempPath = pathBuffers[1];
    if (!PlatformFits(first.flags, isNt)) {
      offset = NextRecord(first);
      continue;
    }
    ShowUpdatingFile(first.name);
    RecordGroup group;
    // Names compare as the system compares them, in its code page.
    FormGroup(records, first, pathSystem.equalNoCase, group);

    const int32_t savedPosition = searchPosition;
    // Before the first search: a replacement that was cut short just before
    // its rename is finished, so the file is found instead of missing.
    if (savedPosition == 0) RecoverWaitingReplacements(first.name, group.newCrcs, group.newCrcCount);
    const bool found = LocateTargetFile(first.name, targetPath, group.crcList, group.crcCount,
                                        searchPosition, group.allowDriveScan);
    if (session.cancelled) return false;
    InstalledCopy copy{};
    if (found) {
      offset = group.start;  // look for the next copy of the same file
    } else {
      searchPosition = 0;
      offset = group.end;
      // A new file goes into the product's folder; while none is known (no
      // candidate folder and no file found before), it is missing instead.
      const bool productFolderKnown =
          lastBaseFolder[0] != '\0' || session.candidateFolders[0] != '\0';
      if (!group.creatable || savedPosition != 0 || !productFolderKnown) {
        if (!group.optional && savedPosition == 0) {
          // A patch lets a missing file pass by leaving its message empty. A
          // silent run shows no message but counts the file all the same, so
          // that its caller never reads a file that was not there as updated.
          const bool reported = Key(TextKey::FileNotFound)[0] != '\0';
          const bool shown = Box(BoxInformation, Key(TextKey::FileNotFound), first.name) != AnswerNone;
          if (shown || (session.silent && reported)) ++session.failureCount;
        }
        continue;
      }
      if (!MakeCreatedPath(first.name, lastBaseFolder, targetPath)) {
        ErrorBox(Key(TextKey::CannotCreateTemp), first.name);
        return false;
      }
    }

    SetLastBaseFolder(lastBaseFolder, targetPath, first.name);
    ShowUpdatingFile(first.name);
    RemoveLeftStagingFile(targetPath);
    if (found && !OpenInstalledCopy(targetPath, copy)) return false;

    FileRecord chosen;
    bool upToDate;
    if (!ChooseRecord(records, group, copy.crc, copy.size, chosen, upToDate)) {
      ReleaseMappedFile(copy.file);
      if (!upToDate) {
        ErrorBox(Key(TextKey::OtherVersion), targetPath);
        ++session.failureCount;
      }
      continue;
    }
    const ChainOutcome outcome = ApplyRecordChain(records, group.start, group.end, chosen,
                                                  copy.file, targetPath, tempPath, isNt);
    if (outcome == ChainOutcome::Failed) return false;
    if (outcome == ChainOutcome::CutShort) {
      // The new version was never reached: a failure, as for a version the
      // patch does not know, and never an update.
      ErrorBox(Key(TextKey::OtherVersion), targetPath);
      ++session.failureCount;
      continue;
    }
    ++session.updatedCount;
  }

  if (session.updatedCount != 0) return true;
  if (session.failureCount != 0) {
    ErrorBox(Key(TextKey::NotUpdated), Key(TextKey::ProductName), Key(TextKey::ToVersion));
    return false;
  }
  Box(BoxInformation, Key(TextKey::AllUpToDate));
  return true;
}
