#include "engine/replace.h"

#include <windows.h>

namespace {

int32_t LastErrorAsHresult() {
  const DWORD error = GetLastError();
  if (int32_t(error) > 0) return int32_t((error & 0xFFFF) | 0x80070000u);
  return int32_t(error);
}

HANDLE ProcessToken() {
  static HANDLE token = nullptr;  // kept open for the life of the process
  if (!token && !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                  &token))
    token = nullptr;
  return token;
}

}  // namespace

int32_t EnablePrivilege(const char* privilegeName, bool enable, void* token) {
  HANDLE handle = token ? HANDLE(token) : ProcessToken();
  if (!handle) return LastErrorAsHresult();
  LUID id;
  if (!LookupPrivilegeValueA(nullptr, privilegeName, &id)) return LastErrorAsHresult();

  // The first call reports the privilege's attributes, so the second can change
  // only the enabled bit and keep the others.
  TOKEN_PRIVILEGES state{};
  state.PrivilegeCount = 1;
  state.Privileges[0].Luid = id;
  state.Privileges[0].Attributes = 0;
  TOKEN_PRIVILEGES previous{};
  DWORD previousLength = sizeof previous;
  if (!AdjustTokenPrivileges(handle, FALSE, &state, sizeof previous, &previous, &previousLength))
    return LastErrorAsHresult();

  // A privilege whose attributes did not change is not reported: it was off.
  if (previous.PrivilegeCount == 0) previous.Privileges[0].Attributes = 0;
  previous.PrivilegeCount = 1;
  previous.Privileges[0].Luid = id;
  if (enable) previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
  else previous.Privileges[0].Attributes &= ~DWORD(SE_PRIVILEGE_ENABLED);
  if (!AdjustTokenPrivileges(handle, FALSE, &previous, sizeof previous, nullptr, nullptr))
    return LastErrorAsHresult();
  return 0;
}
