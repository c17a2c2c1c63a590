// One file operation as another Windows program would make it, for tests that
// change a file under a running installer. Exit code: 0, or the system's error
// code of the failing call (also printed as "error=N").
// Usage: fileop create PATH          a new file of one byte (replaced if it exists)
//        fileop delete PATH
//        fileop truncate PATH SIZE   cut the file to SIZE bytes
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DWORD Create(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD written = 0;
  const BOOL ok = WriteFile(file, "x", 1, &written, nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  return error;
}

DWORD Truncate(const char* path, LONG size) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = 0;
  if (SetFilePointer(file, size, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !SetEndOfFile(file))
    error = GetLastError();
  CloseHandle(file);
  return error;
}

}  // namespace

int main(int argc, char** argv) {
  DWORD error = ERROR_INVALID_PARAMETER;
  if (argc == 3 && !std::strcmp(argv[1], "create")) error = Create(argv[2]);
  else if (argc == 3 && !std::strcmp(argv[1], "delete"))
    error = DeleteFileA(argv[2]) ? 0 : GetLastError();
  else if (argc == 4 && !std::strcmp(argv[1], "truncate"))
    error = Truncate(argv[2], std::atol(argv[3]));
  else
    std::fprintf(stderr, "usage: fileop create|delete PATH | fileop truncate PATH SIZE\n");
  std::printf(error ? "error=%lu\n" : "ok\n", error);
  return int(error);
}
