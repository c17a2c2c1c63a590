#include <windows.h>

// Opens an existing file for reading while others may still read or write it.
HANDLE OpenForRead(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
