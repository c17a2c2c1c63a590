#include "builder/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

MappedFile::MappedFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open", path);
  struct stat info;
  if (fstat(fd, &info) != 0) {
    close(fd);
    Fail("cannot stat", path);
  }
  if (uint64_t(info.st_size) > 0xFFFFFFFFull) {
    close(fd);
    throw std::runtime_error(path + ": 4 GiB or larger");
  }
  size_ = uint32_t(info.st_size);
  if (size_ != 0) {
    void* map = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
      close(fd);
      Fail("cannot map", path);
    }
    data_ = static_cast<const uint8_t*>(map);
  }
  close(fd);
}

MappedFile::~MappedFile() {
  if (data_) munmap(const_cast<uint8_t*>(data_), size_);
}
