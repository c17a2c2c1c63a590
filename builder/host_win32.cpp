#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <cstdlib>

#include "builder/host.h"

const char kPathSeparators[] = "/\\";

namespace {

std::string ToUtf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string out(size_t(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

UINT originalOutputCodePage = 0;

void RestoreConsoleCodePage() { SetConsoleOutputCP(originalOutputCodePage); }

bool IsConsole(DWORD stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; wide && i < count; ++i) arguments.push_back(ToUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

void PrepareConsole() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Pipes and files get the UTF-8 bytes as they are; a console is switched to
  // UTF-8 while the tool runs and given back its code page at the end.
  if (!IsConsole(STD_OUTPUT_HANDLE) && !IsConsole(STD_ERROR_HANDLE)) return;
  originalOutputCodePage = GetConsoleOutputCP();
  if (originalOutputCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
    std::atexit(RestoreConsoleCodePage);
}

uint64_t LastWriteFileTime(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
}

bool ErrorStreamIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// Large pages on Windows need a privilege that a build step does not have.
void AdviseLargePages(void*, size_t) {}

// The Windows heap returns large blocks to the system when they are freed.
void ReleaseFreeMemory() {}
