// Holds a file open the way a running program holds its own files: others may
// read and write it, but not delete or rename it. Creates READY-FILE once the
// file is open, then keeps it open until RELEASE-FILE exists (or SECONDS pass,
// 60 by default).
// Usage: holdfile FILE READY-FILE RELEASE-FILE [SECONDS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: holdfile FILE READY-FILE RELEASE-FILE [SECONDS]\n");
    return 2;
  }
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "holdfile: cannot open %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  const long limitMs = (argc == 5 ? std::atol(argv[4]) : 60) * 1000;
  for (long waited = 0; waited < limitMs; waited += 20) {
    if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(20);
  }
  CloseHandle(held);
  return 0;
}
