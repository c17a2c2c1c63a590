#include "driver/kill_point.h"

#ifdef SP_KILLPOINTS

#include <windows.h>

namespace {

struct KillPoints {
  bool configured;
  unsigned passed;
  unsigned killAt;  // 0: never
  char logPath[MAX_PATH];
};

KillPoints killPoints;

void Configure() {
  killPoints.configured = true;
  char text[16];
  const DWORD length = GetEnvironmentVariableA("SP_KILL_AT", text, sizeof text);
  if (length > 0 && length < sizeof text) {
    for (const char* c = text; *c >= '0' && *c <= '9'; ++c)
      killPoints.killAt = killPoints.killAt * 10 + unsigned(*c - '0');
  }
  const DWORD logLength =
      GetEnvironmentVariableA("SP_KILL_LOG", killPoints.logPath, sizeof killPoints.logPath);
  if (logLength >= sizeof killPoints.logPath) killPoints.logPath[0] = '\0';
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
}

#endif
