// File replacement and the token privilege it relies on.
#pragma once

#include <stdint.h>

#include "patch/bytes.h"
#include "patch/records.h"

// A path buffer of the engine: MAX_PATH characters and room for the second NUL
// that the shell wants after a path it deletes.
constexpr uint32_t kEnginePathSize = 261;

// An installed file opened for reading and mapped whole. `file` null: no file.
// A file of 0 bytes is open but not mapped (`view` null), since a mapping of
// size 0 cannot exist.
struct MappedFile {
  void* file;
  void* mapping;
  const uint8_t* view;
  uint32_t size;
};

// Opens `path` for reading and maps its first `size` bytes (the whole file when
// `wholeFile`). On failure shows key 26 or 27 with the path and the system's
// error code, leaves nothing open and returns false.
bool OpenMappedFile(const char* path, bool wholeFile, uint32_t size, MappedFile& mapped);

// Unmaps and closes whatever `mapped` holds; it is then empty.
void ReleaseMappedFile(MappedFile& mapped);

// "<target>.~up.~up" holds a version made while "<target>.~up" waits for the
// restart's rename: a chain's later step, or the content that replaces a
// waiting file left by an earlier run. A run cut short there leaves it behind,
// and nothing renames it later. It never holds the only copy of a version (the
// target or the waiting file keeps one that the patch upgrades), so each run
// removes it from the file it works on.
void RemoveLeftStagingFile(const char* targetPath);

// Builds the file that `record` produces beside `targetPath` (".~up" added),
// verifies its CRC, stamps it, gives it the old file's security, recycles the
// old file and moves the new one into place, deferring the rename to the next
// restart when the target is in use. Then follows the records of the group
// [groupStart, groupEnd) of `records` that continue from the version just made.
// A "<target>.~up" left by an earlier run, which may wait for the restart's
// rename, is only ever replaced by a file already verified.
// `oldFile` is the installed copy (or empty for a new file); it is released.
// Both path buffers have kEnginePathSize bytes.
enum class ChainOutcome {
  Failed,    // an error box has been shown and the run ends
  Finished,  // no record of the group continues from the version made last
  CutShort,  // stopped at its bound with a record still to follow: records that
             // lead back to a version already made; the file is at one of them
};
ChainOutcome ApplyRecordChain(ByteView records, uint32_t groupStart, uint32_t groupEnd,
                              const FileRecord& record, MappedFile& oldFile, char* targetPath,
                              char* tempPath, bool isNt);

// A replacement cut short after the old file was removed and before the rename
// leaves the name empty and the verified new content in "<name>.~up". In each
// candidate folder where `name` is missing and "<name>.~up" holds content whose
// CRC is one of `newCrcs` (it was verified before it was left there), that file
// is renamed into place; with no candidate folder, the first "<name>.~up" on
// the system's search path is taken the same way. Returns how many were put
// in place.
int RecoverWaitingReplacements(const char* name, const uint32_t* newCrcs, int newCrcCount);

// Copies the security descriptor of `sourcePath` onto `destinationPath` unless
// they are already equal; takes the parts of it that the process may read.
bool CopyFileSecurity(const char* sourcePath, const char* destinationPath);

// Deletes the file with the shell so that it can be restored from the recycle
// bin. `path` must end with two NULs.
bool MoveToRecycleBin(const char* path);

// Enables or disables a privilege of `token` (a HANDLE; null: the process
// token, opened once and kept). Returns 0, or the failing call's error in
// HRESULT form.
int32_t EnablePrivilege(const char* privilegeName, bool enable, void* token);

// True on the NT family (GetVersionExA reports platform 2).
bool IsNtFamily();
