// A post-update program for tests: records what it sees into a log file, then
// ends with exit code 0. The log is SELFPATCH_RECORD_DIR\<own name>.log, or
// <temporary folder>\<own name>.log when that variable is not set, so that
// several copies under different names keep separate logs.
// Log lines: "module=<own full path>", "commandline=<command line>",
// "cwd=<current folder>", then one "file=<name> <size>" per file in it.
// With SELFPATCH_RECORD_LEAVE set it leaves files behind in the current folder
// (a read-only "left.txt" and "left\\deep\\more.txt") before it ends its log; with
// SELFPATCH_RECORD_WAIT=PATH it waits, after the log is written, until PATH
// exists (at most a minute).
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

void OwnBaseName(char* name, DWORD size) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const char* base = std::strrchr(path, '\\');
  base = base ? base + 1 : path;
  lstrcpynA(name, base, int(size));
  char* dot = std::strrchr(name, '.');
  if (dot) *dot = 0;
}

bool LogPath(char* path) {
  char folder[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("SELFPATCH_RECORD_DIR", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) length = GetTempPathA(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return false;
  if (folder[length - 1] != '\\') lstrcatA(folder, "\\");
  char name[MAX_PATH];
  OwnBaseName(name, MAX_PATH);
  return std::snprintf(path, MAX_PATH, "%s%s.log", folder, name) < MAX_PATH;
}

void WriteFiles(FILE* log) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA("*", &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::fprintf(log, "file=%s %lu\n", found.cFileName, found.nFileSizeLow);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

bool HasVariable(const char* name) { return GetEnvironmentVariableA(name, nullptr, 0) != 0; }

void WriteText(const char* path, const char* text, DWORD attributes) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, DWORD(std::strlen(text)), &written, nullptr);
  CloseHandle(file);
}

void LeaveFiles() {
  WriteText("left.txt", "left behind", FILE_ATTRIBUTE_READONLY);
  CreateDirectoryA("left", nullptr);
  CreateDirectoryA("left\\deep", nullptr);
  WriteText("left\\deep\\more.txt", "left deeper", FILE_ATTRIBUTE_NORMAL);
}

void WaitForFile() {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("SELFPATCH_RECORD_WAIT", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  for (int i = 0; i < 600 && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

}  // namespace

int main() {
  char path[MAX_PATH];
  if (!LogPath(path)) return 3;
  FILE* log = std::fopen(path, "a");
  if (!log) return 4;
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  char folder[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, folder);
  std::fprintf(log, "module=%s\ncommandline=%s\ncwd=%s\n", module, GetCommandLineA(), folder);
  WriteFiles(log);
  // The files are left before the run counts as logged ("end"), so a test
  // that sees the run also sees them.
  if (HasVariable("SELFPATCH_RECORD_LEAVE")) LeaveFiles();
  std::fprintf(log, "end\n");
  std::fclose(log);
  WaitForFile();
  return 0;
}
