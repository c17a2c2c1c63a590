#include "driver/kill_point.h"

#ifdef SP_KILLPOINTS

#include <windows.h>

#include "ui/format.h"
#include "ui/limits.h"

namespace {

struct KillPoints {
  bool configured;
  unsigned passed;
  unsigned killAt;   // 0: never
  unsigned failAt;   // 0: never
  unsigned pauseAt;  // 0: never
  DWORD failError;
  char logPath[MAX_PATH];
  char messageLogPath[MAX_PATH];
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
  killPoints.failAt = NumberVariable("SP_FAIL_AT");
  killPoints.failError = NumberVariable("SP_FAIL_ERROR");
  if (killPoints.failError == 0) killPoints.failError = ERROR_ACCESS_DENIED;
  killPoints.pauseAt = NumberVariable("SP_PAUSE_AT");
  PathVariable("SP_KILL_LOG", killPoints.logPath);
  PathVariable("SP_MESSAGE_LOG", killPoints.messageLogPath);
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

void AppendLine(const char* logPath, const char* line, int length) {
  // The log's own calls must not change what the run's caller sees.
  const DWORD lastError = GetLastError();
  HANDLE log = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line, DWORD(length), &written, nullptr);
    CloseHandle(log);
  }
  SetLastError(lastError);
}

void LogPoint(PointKind kind, const char* call, const char* path) {
  char line[64 + 2 * MAX_PATH];
  const int length = wsprintfA(line, "%u %s %s %s\r\n", killPoints.passed,
                               kind == PointKind::Change ? "change" : "read", call,
                               path && lstrlenA(path) < 2 * MAX_PATH ? path : "?");
  AppendLine(killPoints.logPath, line, length);
}

}  // namespace

bool PassKillPoint(PointKind kind, const char* call, const char* path) {
  if (!killPoints.configured) Configure();
  ++killPoints.passed;
  if (killPoints.logPath[0]) LogPoint(kind, call, path);
  if (killPoints.passed == killPoints.killAt)
    TerminateProcess(GetCurrentProcess(), kKillPointExitCode);
  if (killPoints.passed == killPoints.pauseAt && killPoints.pausePath[0]) Pause();
  if (killPoints.passed != killPoints.failAt) return false;
  SetLastError(killPoints.failError);
  return true;
}

long FailPointError() { return long(killPoints.failError); }

void LogMessage(const char* format, const FormatArg* args, int argCount) {
  if (!killPoints.configured) Configure();
  if (!killPoints.messageLogPath[0]) return;
  char line[kTextBufferSize + 2];
  int length = FormatText(line, kTextBufferSize, format, args, argCount);
  // One message a line: its own line breaks are shown as spaces.
  for (int i = 0; i < length; ++i)
    if (line[i] == '\r' || line[i] == '\n') line[i] = ' ';
  line[length++] = '\r';
  line[length++] = '\n';
  AppendLine(killPoints.messageLogPath, line, length);
}

#endif
