// Loaded into the program that boxbot watches, through window hooks on its
// thread: reports every top-level window it creates and every text set on one
// of its windows to boxbot, synchronously, so boxbot sees each progress text in
// order even though the program runs no message loop between them.
// boxbot's receiving window comes from the environment (BOXBOT_RECEIVER, hex).
#include <windows.h>

#include <cwchar>

#include "tests/e2e/tools/boxhook_protocol.h"

namespace {

HWND Receiver() {
  static HWND receiver = [] {
    wchar_t value[32];
    DWORD length = GetEnvironmentVariableW(kReceiverVariable, value, 32);
    if (length == 0 || length >= 32) return HWND(nullptr);
    return HWND(uintptr_t(std::wcstoull(value, nullptr, 16)));
  }();
  return receiver;
}

void Report(HookEvent event, HWND window) {
  HWND receiver = Receiver();
  if (!receiver) return;
  HookReport report = {event, uint32_t(uintptr_t(window))};
  COPYDATASTRUCT data = {kHookReportTag, sizeof report, &report};
  DWORD_PTR result;
  SendMessageTimeoutW(receiver, WM_COPYDATA, 0, LPARAM(&data), SMTO_ABORTIFHUNG, 30000,
                      &result);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK BoxhookCallWnd(int code, WPARAM wParam,
                                                                 LPARAM lParam) {
  if (code == HC_ACTION) {
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (message->message == WM_SETTEXT) Report(HookTextChanging, message->hwnd);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK BoxhookCallWndRet(int code, WPARAM wParam,
                                                                    LPARAM lParam) {
  if (code == HC_ACTION) {
    const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (message->message == WM_SETTEXT) Report(HookTextSet, message->hwnd);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK BoxhookCbt(int code, WPARAM wParam,
                                                             LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    const auto* create = reinterpret_cast<const CBT_CREATEWNDW*>(lParam);
    if (!(create->lpcs->style & WS_CHILD)) Report(HookTopLevelCreated, HWND(wParam));
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
