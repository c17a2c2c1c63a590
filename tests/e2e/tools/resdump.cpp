// Reads one RT_RCDATA resource of a program through the system's own resource
// lookup and writes its bytes to a file: the Windows side's view of what the
// packer wrote. LANG is a number, or "any" for FindResourceA's own choice (the
// lookup the installer makes).
// Usage: resdump PROGRAM ID LANG OUTPUT      exit 0 found, 2 not found, 1 error
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: resdump PROGRAM ID LANG OUTPUT\n");
    return 1;
  }
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    std::fprintf(stderr, "resdump: cannot load %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  const WORD id = WORD(std::atoi(argv[2]));
  HRSRC resource = std::strcmp(argv[3], "any") == 0
                       ? FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10))
                       : FindResourceExA(module, MAKEINTRESOURCEA(10), MAKEINTRESOURCEA(id),
                                         WORD(std::atoi(argv[3])));
  if (!resource) return 2;
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = SizeofResource(module, resource);
  if (!data && size) return 1;
  FILE* out = std::fopen(argv[4], "wb");
  if (!out || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0) {
    std::fprintf(stderr, "resdump: cannot write %s\n", argv[4]);
    return 1;
  }
  return 0;
}
