// Runs an installer killed at each kill point in turn, inside one Wine start,
// with TEMP as the temporary folder of both installers. For each k from FIRST
// to LAST: the product folder is laid anew from PRISTINE, KILLABLE (a
// kill-point build) runs with SP_KILL_AT=k, the product folder is copied to
// SNAPSHOTS\k\killed, then SHIPPED runs and the folder is copied to
// SNAPSHOTS\k\rerun. One line per k:
//   k=K killed=CODE rerun=CODE unpack=N,M
// where N and M count the installer's unpack folders ("sp" and 24 hex digits)
// in TEMP after each of the two runs.
// Usage: killloop KILLABLE SHIPPED PRISTINE PRODUCT SNAPSHOTS TEMP FIRST LAST
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsDots(const char* name) { return !std::strcmp(name, ".") || !std::strcmp(name, ".."); }

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (IsDots(found.cFileName)) continue;
      const std::string path = folder + "\\" + found.cFileName;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
      else DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

bool CopyTree(const std::string& from, const std::string& to) {
  if (!CreateDirectoryA(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return false;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((from + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool ok = true;
  do {
    if (IsDots(found.cFileName)) continue;
    const std::string source = from + "\\" + found.cFileName;
    const std::string target = to + "\\" + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ok = CopyTree(source, target) && ok;
    else ok = CopyFileA(source.c_str(), target.c_str(), FALSE) && ok;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return ok;
}

DWORD RunAndWait(const std::string& program) {
  std::string commandLine = "\"" + program + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return 0xFFFFFFFF;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

bool IsUnpackFolderName(const char* name) {
  if (std::strncmp(name, "sp", 2) || std::strlen(name) != 26) return false;
  for (const char* c = name + 2; *c; ++c)
    if (!std::strchr("0123456789abcdef", *c)) return false;
  return true;
}

int CountUnpackFolders(const std::string& temp) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((temp + "\\sp*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsUnpackFolderName(found.cFileName))
      ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr,
                 "usage: killloop KILLABLE SHIPPED PRISTINE PRODUCT SNAPSHOTS TEMP FIRST LAST\n");
    return 255;
  }
  const std::string killable = argv[1], shipped = argv[2], pristine = argv[3];
  const std::string product = argv[4], snapshots = argv[5], temp = argv[6];
  const int first = std::atoi(argv[7]), last = std::atoi(argv[8]);
  CreateDirectoryA(snapshots.c_str(), nullptr);
  CreateDirectoryA(temp.c_str(), nullptr);
  SetEnvironmentVariableA("TMP", temp.c_str());
  SetEnvironmentVariableA("TEMP", temp.c_str());
  for (int k = first; k <= last; ++k) {
    RemoveTree(product);
    if (!CopyTree(pristine, product)) {
      std::printf("k=%d error=restore\n", k);
      return 1;
    }
    char number[16];
    std::snprintf(number, sizeof number, "%d", k);
    const std::string snapshot = snapshots + "\\" + number;
    CreateDirectoryA(snapshot.c_str(), nullptr);

    SetEnvironmentVariableA("SP_KILL_AT", number);
    const DWORD killed = RunAndWait(killable);
    const int afterKill = CountUnpackFolders(temp);
    const bool keptKilled = CopyTree(product, snapshot + "\\killed");
    SetEnvironmentVariableA("SP_KILL_AT", nullptr);
    const DWORD rerun = RunAndWait(shipped);
    const int afterRerun = CountUnpackFolders(temp);
    const bool keptRerun = CopyTree(product, snapshot + "\\rerun");
    if (!keptKilled || !keptRerun) {
      std::printf("k=%d error=snapshot\n", k);
      return 1;
    }
    std::printf("k=%d killed=%lu rerun=%lu unpack=%d,%d\n", k, killed, rerun, afterKill,
                afterRerun);
    std::fflush(stdout);
  }
  return 0;
}
