#include "driver/update.h"

#include <windows.h>

#include "driver/command_line.h"
#include "driver/exit_codes.h"
#include "driver/kill_point.h"
#include "driver/session.h"
#include "engine/records.h"
#include "engine/replace.h"
#include "locate/folders_win32.h"
#include "locate/registry.h"
#include "patch/file_io_win32.h"
#include "patch/header.h"
#include "patch/records.h"
#include "shutdown/close.h"
#include "ui/ui.h"

namespace {

// The patch file, mapped read-only while the run uses its texts and records.
struct PatchMapping {
  HANDLE file;
  HANDLE mapping;
  const uint8_t* view;
  uint32_t size;
};

// Releases the mapping and puts the texts back to their defaults, since they
// pointed into it. Every exit of the run releases it, so the launcher can
// delete the unpacked patch file afterwards.
void ReleasePatch(PatchMapping& patch) {
  if (patch.mapping) CloseHandle(patch.mapping);
  if (patch.file != INVALID_HANDLE_VALUE) CloseHandle(patch.file);
  if (patch.view) UnmapViewOfFile(patch.view);
  patch = PatchMapping{INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
  SetDefaultStrings(session.strings);
}

int OpenPatch(const char* path, PatchMapping& patch) {
  patch.file = OpenForRead(path);
  if (patch.file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    ErrorBox(Key(TextKey::CannotOpen), path, unsigned(error));
    return ExitPatchNotOpened;
  }
  patch.size = GetFileSize(patch.file, nullptr);
  patch.mapping =
      READ_CALL("CreateFileMapping", path, nullptr,
                CreateFileMappingA(patch.file, nullptr, PAGE_READONLY, 0, patch.size, nullptr));
  if (patch.mapping)
    patch.view = static_cast<const uint8_t*>(READ_CALL(
        "MapViewOfFile", path, nullptr, MapViewOfFile(patch.mapping, FILE_MAP_READ, 0, 0, 0)));
  if (!patch.view) {
    const DWORD error = GetLastError();
    ErrorBox(Key(TextKey::CannotMap), path, unsigned(error));
    return ExitPatchNotMapped;
  }
  return ExitUpdated;
}

void FormatCaption() {
  const FormatArg args[] = {Key(TextKey::ProductName), Key(TextKey::ToVersion)};
  FormatText(session.caption, sizeof session.caption, Key(TextKey::Caption), args, 2);
}

void ShowFinalReport() {
  TextKey key = TextKey::Finished;
  if (session.failureCount) key = TextKey::Incomplete;
  else if (session.rebootNeeded) key = TextKey::RestartNeeded;
  Box(BoxInformation, Key(key), Key(TextKey::ProductName), Key(TextKey::ToVersion));
}

// Everything after the patch is mapped: header, questions, the steps, report.
int RunSteps(const char* patchPath, char* postCommands, const PatchMapping& patch) {
  const uint8_t* records = ParsePatchHeader(patch.view, patch.size, session.strings);
  // The whole records area is checked here, before the question and before any
  // file is touched: a damaged record found later would stop a half-done update.
  if (!records ||
      !ValidateRecordsArea(ByteView{records, uint32_t(patch.view + patch.size - records)},
                           pathSystem.isLeadByte)) {
    ErrorBox(Key(TextKey::FaultyData), patchPath);
    return ExitPatchInvalid;
  }
  FormatCaption();
  ShowProgress(session.caption);
  if (!session.silent && Box(BoxYesNo, Key(TextKey::Confirm), Key(TextKey::ProductName), Key(TextKey::FromVersion), Key(TextKey::ToVersion), Key(TextKey::Note)) != AnswerYes)
    return ExitNotConfirmed;

  ShowProgress(Key(TextKey::CheckingInstalled), Key(TextKey::ProductName));
  ProbeRegistry();
  ShowProgress(Key(TextKey::CheckingRunning), Key(TextKey::ProductName));
  if (!CloseRunningInstances()) return ExitNotClosed;
  ShowProgress(Key(TextKey::UpdateRunning));
  if (!ApplyRecords(records, uint32_t(patch.view + patch.size - records)))
    return session.cancelled ? ExitDataError : ExitRecordsFailed;

  if (*postCommands) RunPostCommands(postCommands);
  ShowProgress(Key(TextKey::UpdateEnded));
  ShowFinalReport();
  return session.failureCount ? ExitIncomplete : ExitUpdated;
}

// A command that names a file in the current folder (where the payload was
// unpacked) is started by its full path, so a program of the same name beside
// the installer or on the search path is never run instead.
bool ResolveInCurrentFolder(const char* command, char* fullPath) {
  for (const char* p = command; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') return false;
  char* namePart = nullptr;
  const DWORD length = GetFullPathNameA(command, MAX_PATH, fullPath, &namePart);
  return length > 0 && length < MAX_PATH && IsExistingFile(fullPath);
}

void RunPostCommand(char* command) {
  char fullPath[MAX_PATH];
  char quoted[MAX_PATH + 3];
  const char* application = nullptr;
  char* commandLine = command;
  if (ResolveInCurrentFolder(command, fullPath)) {
    application = fullPath;
    wsprintfA(quoted, "\"%s\"", fullPath);
    commandLine = quoted;
  }
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &process))
    return;
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace

void RunPostCommands(char* text) {
  char* cursor = text;
  while (char* command = NextPostCommand(cursor))
    if (*command) RunPostCommand(command);
}

int RunUpdate(void* instance, char* commandLine) {
  session.instance = instance;
  SetDefaultStrings(session.strings);
  GetModuleFileNameA(HMODULE(instance), session.caption, sizeof session.caption);
  session.caption[sizeof session.caption - 1] = 0;

  DriverCommandLine parsed;
  const bool complete = ParseDriverCommandLine(commandLine, parsed);
  if (parsed.silent) session.silent = 1;
  if (!complete) return ExitBadCommandLine;

  EnablePrivilege("SeSecurityPrivilege", true, nullptr);
  PatchMapping patch{INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
  int code = OpenPatch(parsed.patchPath, patch);
  if (code == ExitUpdated) code = RunSteps(parsed.patchPath, parsed.postCommands, patch);
  ReleasePatch(patch);
  return code;
}
