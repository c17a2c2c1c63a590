// The steps of closing running applications, open to tests: the timeouts are
// parameters, and the clock and the pause after a process has ended can be
// replaced.
#pragma once

#include <windows.h>
#include <stdint.h>

constexpr uint32_t kCloseTimeoutMs = 20000;   // per application, after WM_CLOSE
constexpr UINT kTerminatedExitCode = 1000;    // given to a process that is ended by force

struct CloseClock {
  uint32_t (*tickCount)();  // milliseconds, wrapping around at 2^32
  uint32_t endPauseMs;      // pause after a process has ended, so it can let go of its files
};
extern CloseClock closeClock;

// Closes the applications whose top-level windows have the class `className`:
// asks the user twice (unless `force`), then posts WM_CLOSE and waits, and ends
// the process by force when it does not end in time. False when the user
// cancels or the application cannot be ended. `displayName` may be null.
bool CloseInstancesOfClass(const char* className, const char* displayName, uint32_t timeoutMs,
                           bool force);

// Ends the process with exit code 1000 and waits twice half the timeout for it
// to go. True when it has ended.
bool TerminateAndWait(DWORD processId, uint32_t timeoutMs);

// Waits until the process has ended, dispatching the thread's messages
// meanwhile. True when it ended (or cannot be opened), false when the time ran
// out. A process that ended is given closeClock.endPauseMs more.
bool WaitForProcessEnd(DWORD processId, uint32_t timeoutMs);
