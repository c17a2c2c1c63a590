#include "builder/mapped_file.h"

#include "patch/crc32.h"

uint32_t FileCrc32(const std::string& path) {
  MappedFile file(path);
  return Crc32(file.view().data, file.view().size);
}
