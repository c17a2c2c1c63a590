// Runs an installer killed at each kill point in turn, inside one Wine start,
// with TEMP as the temporary folder of both installers. For each k of NUMBERS
// (a comma-separated list): the product folder is laid anew from PRISTINE,
// KILLABLE (a kill-point build) runs with SP_KILL_AT=k, the product folder is
// copied to SNAPSHOTS\k\killed, then SHIPPED runs and the folder is copied to
// SNAPSHOTS\k\rerun. One line per k:
//   k=K killed=CODE rerun=CODE unpack=N,M
// where N and M count the installer's unpack folders ("sp" and 24 hex digits)
// in TEMP after each of the two runs.
//
// With --fail ERROR, the k-th call fails with that error instead
// (SP_FAIL_AT=k, SP_FAIL_ERROR=ERROR) and the run goes on; its messages go to
// SNAPSHOTS\k\messages.txt (SP_MESSAGE_LOG), its product folder to
// SNAPSHOTS\k\failed, and the line says "failed=CODE" for "killed=CODE". Wine
// then restarts, as with HOLDER below, since a failed call may leave a rename
// for the restart.
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
// Usage: killloop [--fail ERROR] KILLABLE SHIPPED PRISTINE PRODUCT SNAPSHOTS TEMP
//                 NUMBERS [HOLDER HELD [again|reinstalled]]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
  // A start that fails under a busy Wine is tried again before it counts.
  bool started = false;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt) Sleep(500);
    started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process) != FALSE;
  }
  if (!started) return 0xFFFFFFFF;
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
    for (int waited = 0; waited < 60000 && !Exists(ready_); waited += 5) {
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

// The restart's renames, as a restart of Windows carries them out. A restart
// that fails under a busy Wine is tried again: one that ran finds nothing left
// to do the second time.
DWORD Restart() {
  DWORD code = RunAndWait("wineboot.exe -r");
  for (int attempt = 1; attempt < 3 && code != 0; ++attempt) {
    Sleep(1000);
    code = RunAndWait("wineboot.exe -r");
  }
  return code;
}

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

// The numbers of a comma-separated list, in its order.
std::vector<int> ParseNumbers(const char* text) {
  std::vector<int> numbers;
  for (const char* cursor = text; *cursor;) {
    char* end = nullptr;
    numbers.push_back(int(std::strtol(cursor, &end, 10)));
    cursor = *end == ',' ? end + 1 : end + std::strlen(end);
  }
  return numbers;
}

struct Options {
  const char* failError = nullptr;  // null: kill instead
  std::string killable, shipped, pristine, product, snapshots, temp;
  std::vector<int> numbers;
  std::string holder, held;
  bool runBefore = false, reinstalled = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  int at = 1;
  if (argc > 2 && !std::strcmp(argv[1], "--fail")) {
    options.failError = argv[2];
    at = 3;
  }
  const int rest = argc - at;
  if (rest != 7 && rest != 9 && rest != 10) return false;
  options.killable = argv[at];
  options.shipped = argv[at + 1];
  options.pristine = argv[at + 2];
  options.product = argv[at + 3];
  options.snapshots = argv[at + 4];
  options.temp = argv[at + 5];
  options.numbers = ParseNumbers(argv[at + 6]);
  if (rest >= 9) {
    options.holder = argv[at + 7];
    options.held = argv[at + 8];
  }
  if (rest == 10) {
    options.reinstalled = !std::strcmp(argv[at + 9], "reinstalled");
    options.runBefore = options.reinstalled || !std::strcmp(argv[at + 9], "again");
    if (!options.runBefore) return false;
  }
  return true;
}

// The variables that make the k-th call of the kill-point build end the run,
// or fail.
void SetPointVariables(const Options& options, const char* number, const std::string& snapshot) {
  if (!options.failError) {
    SetEnvironmentVariableA("SP_KILL_AT", number);
    return;
  }
  SetEnvironmentVariableA("SP_FAIL_AT", number);
  SetEnvironmentVariableA("SP_FAIL_ERROR", options.failError);
  SetEnvironmentVariableA("SP_MESSAGE_LOG", (snapshot + "\\messages.txt").c_str());
}

void ClearPointVariables() {
  for (const char* name : {"SP_KILL_AT", "SP_FAIL_AT", "SP_FAIL_ERROR", "SP_MESSAGE_LOG"})
    SetEnvironmentVariableA(name, nullptr);
}

// Ends the loop at call `k` with a line that names what went wrong.
int Stop(int k, const char* error) {
  std::printf("k=%d error=%s\n", k, error);
  return 1;
}

// The run with the point variables set: alone, or with HELD held and the
// earlier run and reinstall that the options ask for. `killed` gets its exit
// code, `before` that of the earlier run. Returns what went wrong, or null.
const char* RunAtPoint(const Options& options, const std::string& snapshot, DWORD& killed,
                       DWORD& before) {
  if (options.holder.empty()) {
    killed = RunAndWait(Quoted(options.killable));
    return nullptr;
  }
  {
    const Holder holding(options.holder, options.held, snapshot);
    if (!holding.holding()) return "hold";
    if (options.runBefore) before = RunAndWait(Quoted(options.shipped));
    if (!options.reinstalled) killed = RunAndWait(Quoted(options.killable));
  }
  if (options.reinstalled) {
    if (!LayAnew(options.pristine, options.product)) return "restore";
    killed = RunAndWait(Quoted(options.killable));
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: killloop [--fail ERROR] KILLABLE SHIPPED PRISTINE PRODUCT SNAPSHOTS TEMP"
                 " NUMBERS [HOLDER HELD [again|reinstalled]]\n");
    return 255;
  }
  const std::string first = options.failError ? "failed" : "killed";
  const bool restarts = options.failError || !options.holder.empty();
  CreateDirectoryA(options.snapshots.c_str(), nullptr);
  CreateDirectoryA(options.temp.c_str(), nullptr);
  SetEnvironmentVariableA("TMP", options.temp.c_str());
  SetEnvironmentVariableA("TEMP", options.temp.c_str());
  for (const int k : options.numbers) {
    if (!LayAnew(options.pristine, options.product)) return Stop(k, "restore");
    char number[16];
    std::snprintf(number, sizeof number, "%d", k);
    const std::string snapshot = options.snapshots + "\\" + number;
    CreateDirectoryA(snapshot.c_str(), nullptr);

    SetPointVariables(options, number, snapshot);
    DWORD killed = 0;
    DWORD before = 0;
    if (const char* error = RunAtPoint(options, snapshot, killed, before)) return Stop(k, error);
    bool keptKilled = CopyTree(options.product, snapshot + "\\" + first);
    if (restarts) {
      if (const DWORD code = Restart()) {
        std::printf("k=%d error=restart code=%lu\n", k, code);
        return 1;
      }
      keptKilled = CopyTree(options.product, snapshot + "\\restarted") &&
                   WritePendingRenames(snapshot + "\\pending-restarted.txt") && keptKilled;
    }
    const int afterKill = CountUnpackFolders(options.temp);
    ClearPointVariables();
    const DWORD rerun = RunAndWait(Quoted(options.shipped));
    const int afterRerun = CountUnpackFolders(options.temp);
    bool keptRerun = CopyTree(options.product, snapshot + "\\rerun");
    if (restarts)
      keptRerun = WritePendingRenames(snapshot + "\\pending-rerun.txt") && keptRerun;
    if (!keptKilled || !keptRerun) return Stop(k, "snapshot");
    std::printf("k=%d %s=%lu rerun=%lu unpack=%d,%d", k, first.c_str(), killed, rerun, afterKill,
                afterRerun);
    if (options.runBefore) std::printf(" before=%lu", before);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
