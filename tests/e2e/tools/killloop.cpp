// Runs an installer killed at each kill point in turn, inside one Wine start,
// with TEMP as the temporary folder of both installers. For each k from FIRST
// to LAST: the product folder is laid anew from PRISTINE, KILLABLE (a
// kill-point build) runs with SP_KILL_AT=k, the product folder is copied to
// SNAPSHOTS\k\killed, then SHIPPED runs and the folder is copied to
// SNAPSHOTS\k\rerun. One line per k:
//   k=K killed=CODE rerun=CODE unpack=N,M
// where N and M count the installer's unpack folders ("sp" and 24 hex digits)
// in TEMP after each of the two runs.
//
// With HOLDER and HELD, each killed run finds the file HELD held open by the
// program HOLDER (holdfile.exe: no delete or rename sharing), so that its
// replacement waits for the next restart. The holder then ends, Wine restarts
// (wineboot -r carries out the pending renames), and the product folder is
// copied to SNAPSHOTS\k\restarted before SHIPPED runs. The system's pending
// renames after the restart and after the run of SHIPPED are written, one
// name a line, to SNAPSHOTS\k\pending-restarted.txt and pending-rerun.txt.
//
// With "again" after HELD, SHIPPED first runs once while HELD is held, so the
// killed run finds the replacement of the earlier run waiting for a restart
// that has not come. With "reinstalled", the product folder is then laid anew
// from PRISTINE (the old version installed again before that restart) and the
// killed run finds nothing held: only the system's pending rename is left of
// the earlier run. Either way the line gains " before=CODE", the earlier run's
// exit code.
// Usage: killloop KILLABLE SHIPPED PRISTINE PRODUCT SNAPSHOTS TEMP FIRST LAST
//                 [HOLDER HELD [again|reinstalled]]
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

// The product folder as PRISTINE holds it.
bool LayAnew(const std::string& pristine, const std::string& product) {
  RemoveTree(product);
  return CopyTree(pristine, product);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

DWORD RunAndWait(std::string commandLine) {
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

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Another program holding HELD open while the killed run tries to replace it.
class Holder {
 public:
  Holder(const std::string& holder, const std::string& held, const std::string& work)
      : ready_(work + "\\held.ready"), release_(work + "\\held.release") {
    DeleteFileA(ready_.c_str());
    DeleteFileA(release_.c_str());
    std::string commandLine =
        Quoted(holder) + " " + Quoted(held) + " " + Quoted(ready_) + " " + Quoted(release_);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_))
      return;
    for (int waited = 0; waited < 10000 && !Exists(ready_); waited += 5) {
      if (WaitForSingleObject(process_.hProcess, 5) == WAIT_OBJECT_0) break;
    }
    holding_ = Exists(ready_);
  }
  ~Holder() {
    if (!process_.hProcess) return;
    HANDLE release = CreateFileA(release_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (release != INVALID_HANDLE_VALUE) CloseHandle(release);
    WaitForSingleObject(process_.hProcess, INFINITE);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool holding() const { return holding_; }

 private:
  std::string ready_, release_;
  PROCESS_INFORMATION process_{};
  bool holding_ = false;
};

// The restart's renames, as a restart of Windows carries them out.
DWORD Restart() { return RunAndWait("wineboot.exe -r"); }

// PendingFileRenameOperations, one name a line (sources and targets in turn).
bool WritePendingRenames(const std::string& path) {
  std::string names;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    DWORD size = 0;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) ==
            ERROR_SUCCESS &&
        size > 0) {
      std::string value(size + 2, '\0');
      if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(&value[0]), &size) == ERROR_SUCCESS) {
        // An empty name (a deletion's target) is a line of its own, too: the
        // names come in pairs up to the list's closing empty name.
        for (size_t at = 0; at + 1 < size;) {
          const std::string name = value.c_str() + at;
          names += name + "\r\n";
          at += name.size() + 1;
        }
      }
    }
    RegCloseKey(key);
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, names.data(), DWORD(names.size()), &written, nullptr) &&
                  written == names.size();
  CloseHandle(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool reinstalled = argc == 12 && !std::strcmp(argv[11], "reinstalled");
  const bool runBefore = reinstalled || (argc == 12 && !std::strcmp(argv[11], "again"));
  if (argc != 9 && argc != 11 && !runBefore) {
    std::fprintf(stderr,
                 "usage: killloop KILLABLE SHIPPED PRISTINE PRODUCT SNAPSHOTS TEMP FIRST LAST"
                 " [HOLDER HELD [again|reinstalled]]\n");
    return 255;
  }
  const std::string killable = argv[1], shipped = argv[2], pristine = argv[3];
  const std::string product = argv[4], snapshots = argv[5], temp = argv[6];
  const int first = std::atoi(argv[7]), last = std::atoi(argv[8]);
  const std::string holder = argc >= 11 ? argv[9] : "", held = argc >= 11 ? argv[10] : "";
  CreateDirectoryA(snapshots.c_str(), nullptr);
  CreateDirectoryA(temp.c_str(), nullptr);
  SetEnvironmentVariableA("TMP", temp.c_str());
  SetEnvironmentVariableA("TEMP", temp.c_str());
  for (int k = first; k <= last; ++k) {
    if (!LayAnew(pristine, product)) {
      std::printf("k=%d error=restore\n", k);
      return 1;
    }
    char number[16];
    std::snprintf(number, sizeof number, "%d", k);
    const std::string snapshot = snapshots + "\\" + number;
    CreateDirectoryA(snapshot.c_str(), nullptr);

    SetEnvironmentVariableA("SP_KILL_AT", number);
    DWORD killed;
    DWORD before = 0;
    bool keptKilled;
    if (holder.empty()) {
      killed = RunAndWait(Quoted(killable));
      keptKilled = CopyTree(product, snapshot + "\\killed");
    } else {
      {
        const Holder holding(holder, held, snapshot);
        if (!holding.holding()) {
          std::printf("k=%d error=hold\n", k);
          return 1;
        }
        if (runBefore) before = RunAndWait(Quoted(shipped));
        if (!reinstalled) killed = RunAndWait(Quoted(killable));
      }
      if (reinstalled) {
        if (!LayAnew(pristine, product)) {
          std::printf("k=%d error=restore\n", k);
          return 1;
        }
        killed = RunAndWait(Quoted(killable));
      }
      if (Restart() != 0) {
        std::printf("k=%d error=restart\n", k);
        return 1;
      }
      keptKilled = CopyTree(product, snapshot + "\\restarted") &&
                   WritePendingRenames(snapshot + "\\pending-restarted.txt");
    }
    const int afterKill = CountUnpackFolders(temp);
    SetEnvironmentVariableA("SP_KILL_AT", nullptr);
    const DWORD rerun = RunAndWait(Quoted(shipped));
    const int afterRerun = CountUnpackFolders(temp);
    bool keptRerun = CopyTree(product, snapshot + "\\rerun");
    if (!holder.empty())
      keptRerun = WritePendingRenames(snapshot + "\\pending-rerun.txt") && keptRerun;
    if (!keptKilled || !keptRerun) {
      std::printf("k=%d error=snapshot\n", k);
      return 1;
    }
    std::printf("k=%d killed=%lu rerun=%lu unpack=%d,%d", k, killed, rerun, afterKill, afterRerun);
    if (runBefore) std::printf(" before=%lu", before);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
