#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>

#include "builder/host.h"

const char kPathSeparators[] = "/";

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

void PrepareConsole() {}

uint64_t LastWriteFileTime(const std::filesystem::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  constexpr int64_t kUnixEpochInFileTime = 116444736000000000;
  const int64_t units = int64_t(info.st_mtim.tv_sec) * 10000000 + info.st_mtim.tv_nsec / 100;
  return uint64_t(std::max<int64_t>(0, units + kUnixEpochInFileTime));
}

bool ErrorStreamIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void AdviseLargePages(void* start, size_t bytes) {
#ifdef MADV_HUGEPAGE
  madvise(start, bytes, MADV_HUGEPAGE);
#else
  (void)start;
  (void)bytes;
#endif
}

void ReleaseFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
