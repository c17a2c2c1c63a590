// Holds a file open the way a running program holds its own files: others may
// read and write it, but not delete or rename it. Creates READY-FILE once the
// file is open, then keeps it open until RELEASE-FILE exists (or 60 s pass).
// Usage: holdfile FILE READY-FILE RELEASE-FILE
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: holdfile FILE READY-FILE RELEASE-FILE\n");
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
  for (int waited = 0; waited < 60000; waited += 20) {
    if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(20);
  }
  CloseHandle(held);
  return 0;
}
