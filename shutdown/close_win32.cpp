// Closing the product's running applications. The patch names up to five of
// them by the class of their top-level window (texts 40, 42, ... 48), each with
// a display name (41, 43, ... 49) for the texts shown about it.
#include "shutdown/close_win32.h"

#include "driver/session.h"
#include "patch/header.h"
#include "shutdown/close.h"
#include "ui/ui.h"

namespace {

constexpr int kQuestionsPerApplication = 2;

uint32_t SystemTickCount() { return GetTickCount(); }

// The process has ended when its handle is signalled or its exit code is no
// longer STILL_ACTIVE (a failing query counts as ended, too).
bool HasProcessEnded(HANDLE process) {
  if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
  DWORD exitCode = 0;
  return !GetExitCodeProcess(process, &exitCode) || exitCode != STILL_ACTIVE;
}

// The first top-level window of the class that belongs to another process, and
// that process. This program's own windows (its dialogs have a common class)
// are passed over: closing them would end the update itself.
HWND FindApplicationWindow(const char* className, DWORD& processId) {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, className, nullptr)) != nullptr) {
    processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != GetCurrentProcessId()) return window;
  }
  return nullptr;
}

// Keeps the thread's windows (the progress window above all) alive meanwhile.
void DispatchPendingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// Asks the user to close the application whose window is `window`. The
// application comes to the front first; the WM_USER then brings the progress
// window (the question's owner) before it once the question's loop runs.
// False when the user cancels.
bool AskToClose(HWND window, const char* displayName) {
  SetForegroundWindow(window);
  if (session.progressWindow) PostMessageA(HWND(session.progressWindow), WM_USER, 0, 0);
  const char* name = *displayName ? displayName : Key(TextKey::ProductName);
  return Box(BoxOkCancelError, Key(TextKey::ApplicationRunning), name) != AnswerCancel;
}

}  // namespace

CloseClock closeClock = {SystemTickCount, 1000};

bool WaitForProcessEnd(DWORD processId, uint32_t timeoutMs) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, processId);
  if (!process) return true;
  const uint32_t start = closeClock.tickCount();
  bool ended = false;
  for (;;) {
    if (HasProcessEnded(process)) {
      ended = true;
      break;
    }
    DispatchPendingMessages();
    // Unsigned differences: a tick count wrapping around changes nothing.
    const uint32_t elapsed = closeClock.tickCount() - start;
    if (elapsed > timeoutMs) break;
    // Sleeps until the process ends, a message arrives or the time is up (the
    // time is up once it has been exceeded; INFINITE is never asked for).
    const uint32_t left = timeoutMs - elapsed;
    const DWORD remaining = left < INFINITE - 1 ? left + 1 : INFINITE - 1;
    if (MsgWaitForMultipleObjects(1, &process, FALSE, remaining, QS_ALLINPUT) == WAIT_FAILED)
      Sleep(10);
  }
  if (ended) Sleep(closeClock.endPauseMs);
  CloseHandle(process);
  return ended;
}

bool TerminateAndWait(DWORD processId, uint32_t timeoutMs) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
  if (!process) return false;
  const BOOL terminated = TerminateProcess(process, kTerminatedExitCode);
  CloseHandle(process);
  if (!terminated) return false;
  if (WaitForProcessEnd(processId, timeoutMs / 2)) return true;
  return WaitForProcessEnd(processId, timeoutMs / 2);
}

bool CloseInstancesOfClass(const char* className, const char* displayName, uint32_t timeoutMs,
                           bool force) {
  if (!displayName) displayName = "";
  DWORD processId = 0;
  for (int handledCount = 0;; ++handledCount) {
    DWORD windowProcessId = 0;
    HWND window = FindApplicationWindow(className, windowProcessId);
    if (!window) break;
    ShowProgress(Key(TextKey::ClosingApplication), displayName);
    processId = windowProcessId;

    if (force || handledCount >= kQuestionsPerApplication) {
      PostMessageA(window, WM_CLOSE, 0, 0);
      if (WaitForProcessEnd(processId, timeoutMs)) return true;
      if (!TerminateAndWait(processId, timeoutMs)) {
        ErrorBox(Key(TextKey::ApplicationNotClosed), displayName);
        return false;
      }
      processId = 0;
    } else if (!AskToClose(window, displayName)) {
      return false;
    }
  }
  // The window the user was asked about has gone; its process may still be
  // saving. Whatever the wait's outcome, the class is done.
  if (processId) WaitForProcessEnd(processId, timeoutMs);
  return true;
}

bool CloseRunningInstances() {
  for (int pair = 0; pair < kAppKeyPairs; ++pair) {
    const char* className = KeySlot(session.strings, AppClassKey(pair));
    if (!className) return true;
    const char* displayName = KeySlot(session.strings, AppNameKey(pair));
    bool force = session.silent != 0;
    if (displayName && displayName[0] == 'F' && displayName[1] == ':') {
      displayName += 2;
      force = true;
    }
    if (!CloseInstancesOfClass(className, displayName, kCloseTimeoutMs, force)) return false;
  }
  return true;
}
