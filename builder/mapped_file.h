// Read-only memory mappings of whole files for the tools (mapped_file_posix.cpp,
// mapped_file_win32.cpp). Paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "patch/bytes.h"

class MappedFile {
 public:
  // Maps `path` read-only; throws std::runtime_error when it cannot be opened
  // or mapped, or is 4 GiB or larger. An empty file gives an empty view.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  ByteView view() const { return ByteView{data_, size_}; }

 private:
  // `size` as a view's size; throws for a file of 4 GiB or more.
  static uint32_t CheckedSize(uint64_t size, const std::string& path);

  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};

// CRC-32 of a whole file (the patch format's CRC), read through a mapping.
// Throws std::runtime_error when the file cannot be read.
uint32_t FileCrc32(const std::string& path);
