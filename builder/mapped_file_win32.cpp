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

// Closes a handle when the constructor is done with it (a view keeps its
// mapping alive).
struct Handle {
  HANDLE handle;
  ~Handle() {
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + LastErrorText());
}

}  // namespace

MappedFile::MappedFile(const std::string& path) {
  const Handle file{CreateFileW(std::filesystem::u8path(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) Fail("cannot open", path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.handle, &size)) Fail("cannot stat", path);
  size_ = CheckedSize(uint64_t(size.QuadPart), path);
  if (size_ == 0) return;
  const Handle mapping{CreateFileMappingW(file.handle, nullptr, PAGE_READONLY, 0, 0, nullptr)};
  const void* view = mapping.handle ? MapViewOfFile(mapping.handle, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (!view) Fail("cannot map", path);
  data_ = static_cast<const uint8_t*>(view);
}

MappedFile::~MappedFile() {
  if (data_) UnmapViewOfFile(data_);
}
