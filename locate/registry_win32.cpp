// Registry probing: the product's installer leaves its folder in the registry,
// under the key that text 9 of the patch names and in the product's entries of
// the installed-programs list (text 3). Every text found there is handed to the
// folder extraction; nothing here can fail the run. The keys are opened with
// KEY_READ in the view that 32-bit programs see (kInstallerRegistryView).
#include "locate/registry_win32.h"

#include <string.h>

#include "driver/kill_point.h"
#include "driver/session.h"
#include "locate/folders_win32.h"
#include "locate/registry.h"

namespace {

constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// A text read from the registry need not end in a NUL. True when the `length`
// bytes read into a buffer of `size` bytes hold a NUL-terminated text.
bool TerminateReadText(char* buffer, DWORD size, DWORD length) {
  if (length < size) {
    buffer[length] = '\0';
    return true;
  }
  return size != 0 && memchr(buffer, '\0', size) != nullptr;
}

bool AcceptValue(DWORD type, char* buffer, DWORD size) {
  switch (type) {
    case REG_SZ:
    case REG_MULTI_SZ:
      return true;
    case REG_EXPAND_SZ:
      return ExpandValueText(buffer, size);
    default:
      return false;
  }
}

// The key path before the last '\' of `text` (at index 1 or later) and the
// value name after it. False when there is no such '\' or the text is too long.
bool SplitKeyAndValueName(const char* text, char* keyPath, const char*& valueName) {
  const size_t length = strlen(text);
  if (length >= kRegistryTextSize) return false;
  memcpy(keyPath, text, length + 1);
  for (size_t i = length; i-- > 1;) {
    if (keyPath[i] == '\\' && !IsTrailByte(pathSystem, keyPath, keyPath + i)) {
      keyPath[i] = '\0';
      valueName = keyPath + i + 1;
      return true;
    }
  }
  return false;
}

// Text 9 first names a key whose default value holds the install path; when
// neither root has that value, it names a key path and a value name.
void ProbeInstallPathKey(const char* text) {
  if (!text || !*text) return;
  const bool machineRead = ProbeValue(HKEY_LOCAL_MACHINE, text, nullptr);
  const bool userRead = ProbeValue(HKEY_CURRENT_USER, text, nullptr);
  if (machineRead || userRead) return;

  char keyPath[kRegistryTextSize];
  const char* valueName = nullptr;
  if (!SplitKeyAndValueName(text, keyPath, valueName)) return;
  ProbeValue(HKEY_LOCAL_MACHINE, keyPath, valueName);
  ProbeValue(HKEY_CURRENT_USER, keyPath, valueName);
}

// Text 3 names the product's uninstall entry, or several separated by ';'.
// Taken whole first; only when that reads nothing, name by name. The orders of
// the values differ on purpose: every folder found goes to the front of the list.
void ProbeUninstallEntries(const char* names) {
  if (!names) return;
  HKEY uninstall = nullptr;
  if (READ_CALL("RegOpenKeyEx", kUninstallKey, FailPointError(),
                RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0,
                              KEY_READ | kInstallerRegistryView, &uninstall)) != ERROR_SUCCESS)
    return;

  const bool iconRead = ProbeValue(uninstall, names, "DisplayIcon");
  const bool locationRead = ProbeValue(uninstall, names, "InstallLocation");
  const bool commandRead = ProbeValue(uninstall, names, "UninstallString");
  if (!iconRead && !locationRead && !commandRead) {
    char name[kFolderEntrySize];
    for (const char* cursor = names; NextFolder(cursor, name);) {
      ProbeValue(uninstall, name, "UninstallString");
      ProbeValue(uninstall, name, "InstallLocation");
      ProbeValue(uninstall, name, "DisplayIcon");
    }
  }
  RegCloseKey(uninstall);
}

}  // namespace

bool ReadRegistryText(HKEY root, const char* subkey, const char* valueName, char* buffer,
                      DWORD size) {
  HKEY key = nullptr;
  if (READ_CALL("RegOpenKeyEx", subkey, FailPointError(),
                RegOpenKeyExA(root, subkey, 0, KEY_READ | kInstallerRegistryView, &key)) !=
      ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE;
  DWORD length = size;
  const LONG status = READ_CALL(
      "RegQueryValueEx", valueName ? valueName : subkey, FailPointError(),
      RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &length));
  RegCloseKey(key);
  return status == ERROR_SUCCESS && TerminateReadText(buffer, size, length) &&
         AcceptValue(type, buffer, size);
}

bool ExpandValueText(char* text, size_t capacity) {
  // One byte of the work buffer stays spare: the ANSI call may need it.
  char work[kRegistryTextSize];
  work[kRegistryTextSize - 1] = '\0';
  const DWORD needed = ExpandEnvironmentStringsA(text, work, kRegistryTextSize - 1);
  if (needed == 0 || needed > kRegistryTextSize - 1) return false;
  const size_t length = strlen(work);
  if (length >= capacity) return false;
  memcpy(text, work, length + 1);
  return true;
}

bool ProbeValue(HKEY root, const char* subkey, const char* valueName) {
  char text[kRegistryTextSize];
  if (!ReadRegistryText(root, subkey, valueName, text, sizeof text)) return false;
  AddFoldersFromText(candidateFolders, text);
  return true;
}

bool ProbeRegistry() {
  ProbeInstallPathKey(KeySlot(session.strings, TextKey::InstallFolderKey));
  ProbeUninstallEntries(KeySlot(session.strings, TextKey::UninstallKeys));
  return true;
}
