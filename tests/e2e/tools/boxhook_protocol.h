// What boxhook.dll, inside the watched program, tells boxbot.
#pragma once

#include <stdint.h>

constexpr wchar_t kReceiverVariable[] = L"BOXBOT_RECEIVER";
constexpr uintptr_t kHookReportTag = 0x424F5842;  // "BXOB"

enum HookEvent : uint32_t {
  HookTextSet = 1,          // after a window took a new text
  HookTopLevelCreated = 2,  // a top-level window is being created
  HookTextChanging = 3,     // before a window takes a new text
};

struct HookReport {
  HookEvent event;
  uint32_t window;  // HWND; window handles fit 32 bits
};
