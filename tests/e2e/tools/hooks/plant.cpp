// A planted library for the tests of DLL planting: loaded into any process, it
// appends that process's program path to SELFPATCH_RECORD_DIR\planted.log (or
// <temporary folder>\planted.log). Copies of it are laid under the names of
// system libraries wherever a planted one could be found.
#include <windows.h>

namespace {

void RecordHost() {
  char folder[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("SELFPATCH_RECORD_DIR", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) length = GetTempPathA(MAX_PATH, folder);
  if (length == 0 || length + 13 >= MAX_PATH) return;
  if (folder[length - 1] != '\\') lstrcatA(folder, "\\");
  lstrcatA(folder, "planted.log");
  char line[MAX_PATH + 2];
  DWORD size = GetModuleFileNameA(nullptr, line, MAX_PATH);
  if (size >= MAX_PATH) size = 0;
  line[size++] = '\r';
  line[size++] = '\n';
  HANDLE log = CreateFileA(folder, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, line, size, &written, nullptr);
  CloseHandle(log);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) RecordHost();
  return TRUE;
}
