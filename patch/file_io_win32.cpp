#include "patch/file_io_win32.h"

#include "driver/kill_point.h"
#include "patch/crc32.h"

HANDLE OpenForRead(const char* path) {
  return READ_CALL("CreateFile", path, INVALID_HANDLE_VALUE,
                   CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool IsExistingFile(const char* path) {
  const DWORD attributes =
      READ_CALL("GetFileAttributes", path, INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint32_t FileCrc32(HANDLE file) {
  const DWORD size = GetFileSize(file, nullptr);
  if (size == INVALID_FILE_SIZE) return 0;
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, size, nullptr);
  if (!mapping) return 0;
  uint32_t crc = 0;
  if (const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
    crc = Crc32(static_cast<const uint8_t*>(view), size);
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  return crc;
}

bool FileCrcOf(const char* path, uint32_t& crc) {
  HANDLE file = OpenForRead(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  crc = READ_CALL("MapViewOfFile", path, 0, FileCrc32(file));
  CloseHandle(file);
  return true;
}
