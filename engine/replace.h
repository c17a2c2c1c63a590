// File replacement and the token privilege it relies on.
#pragma once

#include <stdint.h>

// Enables or disables a privilege of `token` (a HANDLE; null: the process
// token, opened once and kept). Returns 0, or the failing call's error in
// HRESULT form.
int32_t EnablePrivilege(const char* privilegeName, bool enable, void* token);
