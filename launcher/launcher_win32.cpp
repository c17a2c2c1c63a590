#include "launcher/launcher.h"

#include <windows.h>
#include <tlhelp32.h>
#include <zlib.h>

#include "driver/exit_codes.h"
#include "driver/kill_point.h"
#include "driver/update.h"
#include "launcher/payload.h"
#include "launcher/switches.h"
#include "launcher/unpack_folder_win32.h"

namespace {

constexpr DWORD kUnpackBufferSize = 65536;
constexpr UINT kDataErrorText = 1;
constexpr UINT kUnexpectedErrorText = 2;

void ScanSwitchArea(HINSTANCE instance) {
  char text[kSwitchAreaSize];
  ReadSwitchArea(reinterpret_cast<const uint8_t*>(instance), text);
  ScanSwitches(text, launcher);
}

// The installer's own size must be a multiple of 4: a cut download is not.
bool OwnFileLooksWhole(HINSTANCE instance) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  // The handle stays open until the process ends.
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD size = file == INVALID_HANDLE_VALUE ? INVALID_FILE_SIZE : GetFileSize(file, nullptr);
  return (size & 3) == 0;
}

// The payload is the language-neutral resource; the English one of the same
// id is a one-byte placeholder, found only when no payload was packed.
bool FindPayload(HINSTANCE instance, ByteView& payload) {
  HRSRC resource = FindResourceExA(instance, MAKEINTRESOURCEA(10) /* RT_RCDATA */,
                                   MAKEINTRESOURCEA(kPayloadResourceId),
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  if (!resource)
    resource = FindResourceA(instance, MAKEINTRESOURCEA(kPayloadResourceId), MAKEINTRESOURCEA(10));
  if (!resource) return false;
  HGLOBAL loaded = LoadResource(instance, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return false;
  payload = ByteView{static_cast<const uint8_t*>(data), uint32_t(SizeofResource(instance, resource))};
  return true;
}

voidpf AllocateZeroed(voidpf, uInt items, uInt size) {
  if (size && items > 0xFFFFFFFFu / size) return nullptr;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, SIZE_T(items) * size);
}

void Free(voidpf, voidpf address) { HeapFree(GetProcessHeap(), 0, address); }

// Inflates one entry into a new file of its name in the current folder.
int InflateStream(z_stream& stream, HANDLE file, [[maybe_unused]] const char* name,
                  uint8_t* buffer) {
  for (;;) {
    const int result = inflate(&stream, Z_NO_FLUSH);
    if (stream.avail_out < kUnpackBufferSize) {
      const DWORD produced = kUnpackBufferSize - stream.avail_out;
      DWORD written = 0;
      if (!CHANGE_CALL("WriteFile", name, FALSE,
                       WriteFile(file, buffer, produced, &written, nullptr)) ||
          written != produced)
        return ExitResourceError;
      stream.next_out = buffer;
      stream.avail_out = kUnpackBufferSize;
    }
    if (result == Z_STREAM_END) return ExitUpdated;
    if (result != Z_OK) return ExitDataError;
  }
}

int UnpackEntry(const PayloadEntry& entry, uint8_t* buffer) {
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(entry.data.data);
  stream.avail_in = entry.data.size;
  stream.next_out = buffer;
  stream.avail_out = kUnpackBufferSize;
  stream.zalloc = AllocateZeroed;
  stream.zfree = Free;
  // The version of the zlib we are built with: zlib refuses a different major
  // version or a different stream size.
  if (inflateInit_(&stream, ZLIB_VERSION, int(sizeof stream)) != Z_OK) return ExitResourceError;
  HANDLE file = CHANGE_CALL("CreateFile", entry.name, INVALID_HANDLE_VALUE,
                            CreateFileA(entry.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  int code = file == INVALID_HANDLE_VALUE ? int(ExitResourceError)
                                          : InflateStream(stream, file, entry.name, buffer);
  if (inflateEnd(&stream) != Z_OK && code == ExitUpdated) code = ExitResourceError;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return code;
}

// Pass 1: every entry with data becomes a file in the current folder.
int UnpackPayload(ByteView payload) {
  uint8_t* buffer = static_cast<uint8_t*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kUnpackBufferSize));
  if (!buffer) return ExitResourceError;
  ByteCursor cursor(payload);
  PayloadEntry entry;
  int code = ExitUpdated;
  while (code == ExitUpdated && ReadPayloadEntry(cursor, entry) == PayloadEntryRead)
    if (entry.data.size) code = UnpackEntry(entry, buffer);
  HeapFree(GetProcessHeap(), 0, buffer);
  return code;
}

// Pass 2 and the clean-up after a failed unpack: deletes every entry's file,
// then whatever a follow-up program left beside them (failures are ignored),
// leaves the folder and removes it.
void RemoveUnpacked(ByteView payload, const char* parent, const char* folder) {
  ByteCursor cursor(payload);
  PayloadEntry entry;
  while (ReadPayloadEntry(cursor, entry) == PayloadEntryRead)
    if (entry.data.size) CHANGE_CALL("DeleteFile", entry.name, FALSE, DeleteFileA(entry.name));
  SetCurrentDirectoryA(parent);
  RemoveUnpackFolder(folder);
}

}  // namespace

// A DLL placed beside the downloaded installer is never loaded. Both calls are
// missing on old systems and are looked up at run time.
void RestrictDllSearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
  typedef BOOL(WINAPI * SetDllDirectoryFunction)(LPCSTR);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDefault) setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
  auto setDirectory = reinterpret_cast<SetDllDirectoryFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
  if (setDirectory) setDirectory("");
}

void KillParentProcess() {
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32 process;
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot, &process); more;
         more = Process32Next(snapshot, &process)) {
      if (process.th32ProcessID == self) {
        parent = process.th32ParentProcessID;
        break;
      }
    }
    CloseHandle(snapshot);
  }
  if (parent == 0) return;
  // The parent may have ended already and its id been given to another
  // process since: only a process that started before us can be our parent.
  HANDLE handle = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, parent);
  if (!handle) handle = OpenProcess(PROCESS_TERMINATE, FALSE, parent);
  if (!handle) return;
  if (ProcessStartedBeforeUs(handle)) TerminateProcess(handle, 0);
  CloseHandle(handle);
}

bool ProcessStartedBeforeUs(void* process) {
  FILETIME created, exited, kernel, user;
  FILETIME ownCreated;
  // Without process times (the 9x family, or no right to query) the check
  // cannot be made and the process is taken to be older.
  if (!GetProcessTimes(HANDLE(process), &created, &exited, &kernel, &user) ||
      !GetProcessTimes(GetCurrentProcess(), &ownCreated, &exited, &kernel, &user))
    return true;
  return CompareFileTime(&created, &ownCreated) <= 0;
}

int ExtractAndRun(void* instanceHandle, bool silent) {
  HINSTANCE instance = static_cast<HINSTANCE>(instanceHandle);
  if (!OwnFileLooksWhole(instance)) return ExitDataError;
  ByteView payload;
  if (!FindPayload(instance, payload)) return ExitResourceError;

  // Pass 0: the whole container is checked before anything is written.
  char commandLine[kDriverCommandLineSize];
  if (!CheckPayload(payload, silent, commandLine)) return ExitDataError;

  char parent[MAX_PATH];
  char folder[MAX_PATH];
  const DWORD parentLength = GetCurrentDirectoryA(MAX_PATH, parent);
  if (parentLength == 0 || parentLength >= MAX_PATH - 1) return ExitResourceError;
  if (parent[parentLength - 1] != '\\') lstrcatA(parent, "\\");
  if (!CreateUnpackFolder(parent, folder)) return ExitResourceError;
  if (!SetCurrentDirectoryA(folder)) {
    CHANGE_CALL("RemoveDirectory", folder, FALSE, RemoveDirectoryA(folder));
    return ExitResourceError;
  }

  const int unpacked = UnpackPayload(payload);
  if (unpacked != ExitUpdated) {
    RemoveUnpacked(payload, parent, folder);
    return unpacked;
  }
  const int result = RunUpdate(instance, commandLine);
  RemoveUnpacked(payload, parent, folder);
  ExitProcess(UINT(result));
}

void RunLauncher(void* instanceHandle) {
  HINSTANCE instance = static_cast<HINSTANCE>(instanceHandle);
  RestrictDllSearch();
  const char* commandLine = GetCommandLineA();
  char temp[MAX_PATH];
  const DWORD tempLength = GetTempPathA(MAX_PATH, temp);
  const bool haveTemp = tempLength > 0 && tempLength < MAX_PATH && SetCurrentDirectoryA(temp);

  ScanSwitches(commandLine, launcher);
  ScanSwitchArea(instance);
  if (launcher.killParent) KillParentProcess();

  const int code = haveTemp ? ExtractAndRun(instance, launcher.launcherSilent != 0)
                            : int(ExitResourceError);
  if (!launcher.launcherSilent) {
    char text[200];
    if (!LoadStringA(instance, code == ExitDataError ? kDataErrorText : kUnexpectedErrorText, text,
                     sizeof text))
      text[0] = 0;
    MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
  }
  ExitProcess(UINT(code));
}
