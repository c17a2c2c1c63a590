#include "builder/pack_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "builder/host.h"

namespace fs = std::filesystem;

namespace {

std::string Reason() { return std::strerror(errno); }

}  // namespace

Bytes ReadFileBytes(const std::string& path) {
  errno = 0;
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) throw FileError(path + ": " + (errno ? Reason() : "cannot open"));
  std::error_code error;
  if (fs::is_directory(fs::u8path(path), error)) throw FileError(path + ": is a folder");
  // One read of the whole file where its size is known; streams of unknown
  // length (a pipe) are read to their end.
  Bytes bytes;
  const auto size = fs::file_size(fs::u8path(path), error);
  if (!error) {
    bytes.resize(size_t(size));
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size));
    bytes.resize(size_t(in.gcount()));
    if (in.bad()) throw FileError(path + ": read error");
    if (in.peek() == std::char_traits<char>::eof()) return bytes;
    in.clear();
  }
  bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError(path + ": read error");
  return bytes;
}

void WriteFileReplacing(const std::string& path, const Bytes& bytes, bool executable) {
  const std::string temporary = path + ".tmp~";
  const fs::path temporaryPath = fs::u8path(temporary);
  std::error_code error;
  errno = 0;
  std::ofstream out(temporaryPath, std::ios::binary | std::ios::trunc);
  if (!out) throw FileError(path + ": cannot create " + temporary + ": " + Reason());
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) {
    const std::string reason = Reason();
    fs::remove(temporaryPath, error);
    throw FileError(path + ": write error: " + reason);
  }
  if (executable) fs::permissions(temporaryPath, fs::perms(0755), error);
  fs::rename(temporaryPath, fs::u8path(path), error);
  if (error) {
    const std::string reason = error.message();
    fs::remove(temporaryPath, error);
    throw FileError(path + ": cannot replace: " + reason);
  }
}

std::string BaseName(const std::string& path) {
  const size_t separator = path.find_last_of(kPathSeparators);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}
