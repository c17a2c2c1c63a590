#include "builder/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// Closes the file when the constructor is done with it (the mapping stays).
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

MappedFile::MappedFile(const std::string& path) {
  const Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail("cannot open", path);
  struct stat info;
  if (fstat(file.fd, &info) != 0) Fail("cannot stat", path);
  size_ = CheckedSize(uint64_t(info.st_size), path);
  if (size_ == 0) return;
  // Every user reads the whole file: its pages are mapped in one go rather
  // than one fault at a time.
  void* map = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
  if (map == MAP_FAILED) Fail("cannot map", path);
  data_ = static_cast<const uint8_t*>(map);
}

MappedFile::~MappedFile() {
  if (data_) munmap(const_cast<uint8_t*>(data_), size_);
}
