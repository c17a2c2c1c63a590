#include "launcher/unpack_folder_win32.h"

#include <stdint.h>
#include <string.h>

#include "driver/kill_point.h"
#include "launcher/payload.h"

namespace {

constexpr int kAttempts = 16;

typedef BOOLEAN(WINAPI* GenRandomFunction)(void*, ULONG);

// Random bytes from the system's cryptographic generator where there is one;
// otherwise (old systems) a mix of clocks and ids, which the exclusive creation
// of the folder still keeps safe from reuse.
void FillRandom(uint8_t* bytes, ULONG count) {
  const GenRandomFunction genRandom = reinterpret_cast<GenRandomFunction>(reinterpret_cast<void*>(
      GetProcAddress(LoadLibraryA("advapi32.dll"), "SystemFunction036")));
  if (genRandom && genRandom(bytes, count)) return;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint32_t state = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ counter.LowPart ^
                   uint32_t(reinterpret_cast<uintptr_t>(bytes));
  for (ULONG i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345u + counter.HighPart;
    bytes[i] = uint8_t(state >> 16);
  }
}

// The security calls are looked up at run time: systems without them (the 9x
// family) still start the installer and get a folder with default access.
struct SecurityCalls {
  BOOL(WINAPI* createWellKnownSid)(WELL_KNOWN_SID_TYPE, PSID, PSID, DWORD*);
  BOOL(WINAPI* checkTokenMembership)(HANDLE, PSID, PBOOL);
  BOOL(WINAPI* addAccessAllowedAceEx)(PACL, DWORD, DWORD, DWORD, PSID);
  BOOL(WINAPI* setSecurityDescriptorControl)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                             SECURITY_DESCRIPTOR_CONTROL);

  template <typename Function>
  static bool Find(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
  }
  bool Load() {
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    return advapi && Find(advapi, "CreateWellKnownSid", createWellKnownSid) &&
           Find(advapi, "CheckTokenMembership", checkTokenMembership) &&
           Find(advapi, "AddAccessAllowedAceEx", addAccessAllowedAceEx) &&
           Find(advapi, "SetSecurityDescriptorControl", setSecurityDescriptorControl);
  }
};

// A protected access list: full access for SYSTEM and for the owner side of
// this process (the administrators when they are enabled in our token, else
// the user), inherited by the files created inside.
struct PrivateAccess {
  SecurityCalls calls;
  SECURITY_DESCRIPTOR descriptor;
  uint8_t aclBuffer[512];
  uint8_t systemSid[SECURITY_MAX_SID_SIZE];
  uint8_t ownerSid[SECURITY_MAX_SID_SIZE];
  uint8_t tokenUser[512];
  SECURITY_ATTRIBUTES attributes;
};

bool AddFullAccess(PrivateAccess& access, ACL* acl, void* sid) {
  return access.calls.addAccessAllowedAceEx(acl, ACL_REVISION,
                                            OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                            GENERIC_ALL, sid);
}

bool OwnerSid(PrivateAccess& access) {
  DWORD size = sizeof access.ownerSid;
  if (!access.calls.createWellKnownSid(WinBuiltinAdministratorsSid, nullptr, access.ownerSid,
                                       &size))
    return false;
  BOOL isAdministrator = FALSE;
  if (access.calls.checkTokenMembership(nullptr, access.ownerSid, &isAdministrator) &&
      isAdministrator)
    return true;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD length = 0;
  const BOOL read = GetTokenInformation(token, TokenUser, access.tokenUser,
                                        sizeof access.tokenUser, &length);
  CloseHandle(token);
  if (!read) return false;
  const TOKEN_USER* user = reinterpret_cast<const TOKEN_USER*>(access.tokenUser);
  return CopySid(sizeof access.ownerSid, access.ownerSid, user->User.Sid);
}

SECURITY_ATTRIBUTES* BuildPrivateAccess(PrivateAccess& access) {
  DWORD size = sizeof access.systemSid;
  ACL* acl = reinterpret_cast<ACL*>(access.aclBuffer);
  if (!access.calls.Load() ||
      !access.calls.createWellKnownSid(WinLocalSystemSid, nullptr, access.systemSid, &size) ||
      !OwnerSid(access) || !InitializeAcl(acl, sizeof access.aclBuffer, ACL_REVISION) ||
      !AddFullAccess(access, acl, access.systemSid) ||
      !AddFullAccess(access, acl, access.ownerSid) ||
      !InitializeSecurityDescriptor(&access.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&access.descriptor, TRUE, acl, FALSE) ||
      !access.calls.setSecurityDescriptorControl(&access.descriptor, SE_DACL_PROTECTED,
                                                 SE_DACL_PROTECTED))
    return nullptr;
  access.attributes = SECURITY_ATTRIBUTES{sizeof access.attributes, &access.descriptor, FALSE};
  return &access.attributes;
}

// Deeper folders than this inside the unpack folder are left where they are.
constexpr int kRemovedFolderDepth = 32;

void RemoveFolderContents(char* path, int depth);

// What cannot be removed now (a file still open, say) is left to the system
// to remove at the next restart, where it may.
void RemoveAtRestart(const char* path) {
  CHANGE_CALL("MoveFileEx", path, FALSE,
              MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
}

void RemoveFile(const char* path) {
  if (!CHANGE_CALL("DeleteFile", path, FALSE, DeleteFileA(path))) RemoveAtRestart(path);
}

void RemoveFolder(const char* path) {
  if (!CHANGE_CALL("RemoveDirectory", path, FALSE, RemoveDirectoryA(path))) RemoveAtRestart(path);
}

// Removes one entry of a folder being emptied. A link or junction is removed
// as it stands and never entered, so nothing outside the folder is touched.
void RemoveEntry(char* path, DWORD attributes, int depth) {
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesA(path, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    RemoveFile(path);
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && depth > 0)
    RemoveFolderContents(path, depth - 1);
  RemoveFolder(path);
}

// Empties the folder `path` (a MAX_PATH buffer, no trailing separator, given
// back unchanged); failures are ignored.
void RemoveFolderContents(char* path, int depth) {
  const size_t length = strlen(path);
  if (length + 2 >= MAX_PATH) return;
  memcpy(path + length, "\\*", 3);
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(path, &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const size_t nameLength = strlen(entry.cFileName);
      if (IsDotName(entry.cFileName) || length + 1 + nameLength >= MAX_PATH) continue;
      memcpy(path + length + 1, entry.cFileName, nameLength + 1);
      RemoveEntry(path, entry.dwFileAttributes, depth);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  path[length] = '\0';
}

}  // namespace

bool CreateUnpackFolder(const char* parent, char* folder) {
  static PrivateAccess access;
  SECURITY_ATTRIBUTES* attributes = BuildPrivateAccess(access);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    uint8_t random[12];
    FillRandom(random, sizeof random);
    char name[2 * sizeof random + 1];
    for (unsigned i = 0; i < sizeof random; ++i) {
      name[2 * i] = "0123456789abcdef"[random[i] >> 4];
      name[2 * i + 1] = "0123456789abcdef"[random[i] & 15];
    }
    name[2 * sizeof random] = 0;
    if (lstrlenA(parent) + 3 + lstrlenA(name) >= MAX_PATH) return false;
    wsprintfA(folder, "%ssp%s", parent, name);
    if (CHANGE_CALL("CreateDirectory", folder, FALSE, CreateDirectoryA(folder, attributes)))
      return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

void RemoveUnpackFolder(const char* folder) {
  char path[MAX_PATH];
  lstrcpynA(path, folder, MAX_PATH);
  RemoveFolderContents(path, kRemovedFolderDepth);
  RemoveFolder(folder);
}
