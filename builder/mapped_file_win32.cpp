#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "builder/mapped_file.h"

namespace {

// The system's message for the last error, in UTF-8, without its line end.
std::string LastErrorText() {
  wchar_t* text = nullptr;
  const DWORD error = GetLastError();
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = text ? std::filesystem::path(text).u8string() : "error " + std::to_string(error);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return out;
}

// Closes `handle` without losing the error that made the caller give up.
void CloseKeepingError(HANDLE handle) {
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
}

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + LastErrorText());
}

}  // namespace

MappedFile::MappedFile(const std::string& path) {
  const HANDLE file = CreateFileW(std::filesystem::u8path(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail("cannot open", path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    CloseKeepingError(file);
    Fail("cannot stat", path);
  }
  if (uint64_t(size.QuadPart) > 0xFFFFFFFFull) {
    CloseHandle(file);
    throw std::runtime_error(path + ": 4 GiB or larger");
  }
  size_ = uint32_t(size.QuadPart);
  if (size_ != 0) {
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
      if (mapping) CloseKeepingError(mapping);
      CloseKeepingError(file);
      Fail("cannot map", path);
    }
    CloseHandle(mapping);  // the view keeps the mapping alive
    data_ = static_cast<const uint8_t*>(view);
  }
  CloseHandle(file);
}

MappedFile::~MappedFile() {
  if (data_) UnmapViewOfFile(data_);
}
