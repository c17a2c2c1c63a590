#include "builder/pack_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string Reason() { return std::strerror(errno); }

}  // namespace

Bytes ReadFileBytes(const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path + ": " + (errno ? Reason() : "cannot open"));
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) throw FileError(path + ": is a folder");
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError(path + ": read error");
  return bytes;
}

void WriteFileReplacing(const std::string& path, const Bytes& bytes, bool executable) {
  const std::string temporary = path + ".tmp~";
  FILE* out = std::fopen(temporary.c_str(), "wb");
  if (!out) throw FileError(path + ": cannot create " + temporary + ": " + Reason());
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    const std::string reason = Reason();
    std::remove(temporary.c_str());
    throw FileError(path + ": write error: " + reason);
  }
  if (executable) chmod(temporary.c_str(), 0755);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = Reason();
    std::remove(temporary.c_str());
    throw FileError(path + ": cannot replace: " + reason);
  }
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
