#include "builder/mapped_file.h"

#include <stdexcept>

#include "patch/crc32.h"

uint32_t MappedFile::CheckedSize(uint64_t size, const std::string& path) {
  if (size > 0xFFFFFFFFull) throw std::runtime_error(path + ": 4 GiB or larger");
  return uint32_t(size);
}

uint32_t FileCrc32(const std::string& path) {
  MappedFile file(path);
  return Crc32(file.view().data, file.view().size);
}
