#include "driver/kill_point.h"

#ifdef SP_KILLPOINTS

#include <windows.h>

namespace {

struct KillPoints {
  bool configured;
  unsigned passed;
  unsigned killAt;   // 0: never
  unsigned pauseAt;  // 0: never
  char logPath[MAX_PATH];
  char pausePath[MAX_PATH];
};

KillPoints killPoints;

unsigned NumberVariable(const char* name) {
  char text[16];
  const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
  unsigned number = 0;
  if (length > 0 && length < sizeof text) {
    for (const char* c = text; *c >= '0' && *c <= '9'; ++c)
      number = number * 10 + unsigned(*c - '0');
  }
  return number;
}

void PathVariable(const char* name, char* path) {
  const DWORD length = GetEnvironmentVariableA(name, path, MAX_PATH);
  if (length >= MAX_PATH) path[0] = '\0';
}

void Configure() {
  killPoints.configured = true;
  killPoints.killAt = NumberVariable("SP_KILL_AT");
  killPoints.pauseAt = NumberVariable("SP_PAUSE_AT");
  PathVariable("SP_KILL_LOG", killPoints.logPath);
  PathVariable("SP_PAUSE_FILE", killPoints.pausePath);
}

void Pause() {
  HANDLE marker = CreateFileA(killPoints.pausePath, GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return;
  CloseHandle(marker);
  // Polled, since the test deletes the file from outside Wine.
  for (int wait = 0; wait < 12000; ++wait) {
    if (GetFileAttributesA(killPoints.pausePath) == INVALID_FILE_ATTRIBUTES) return;
    Sleep(10);
  }
}

void AppendToLog(const char* change, const char* path) {
  HANDLE log = CreateFileA(killPoints.logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  char line[64 + 2 * MAX_PATH];
  const int length = wsprintfA(line, "%u %s %s\r\n", killPoints.passed, change,
                               lstrlenA(path) < 2 * MAX_PATH ? path : "?");
  DWORD written = 0;
  WriteFile(log, line, DWORD(length), &written, nullptr);
  CloseHandle(log);
}

}  // namespace

void PassKillPoint(const char* change, const char* path) {
  if (!killPoints.configured) Configure();
  ++killPoints.passed;
  if (killPoints.logPath[0]) AppendToLog(change, path);
  if (killPoints.passed == killPoints.killAt)
    TerminateProcess(GetCurrentProcess(), kKillPointExitCode);
  if (killPoints.passed == killPoints.pauseAt && killPoints.pausePath[0]) Pause();
}

#endif
