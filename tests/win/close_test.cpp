// Closing running applications, against real processes (classapp.exe) that
// close on WM_CLOSE, ignore it, or run on after their window has gone. Timeouts
// are short; nothing here asks a question.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "shutdown/close.h"
#include "tests/win/close_helpers.h"
#include "tests/win/session_keys.h"

using namespace closetest;

namespace {

using Close = CloseFixture;

uint32_t tickOffset = 0;
uint32_t OffsetTickCount() { return GetTickCount() + tickOffset; }

// Milliseconds of processor time this process has used so far.
uint64_t ProcessorMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return ((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
  };
  return ms(kernel) + ms(user);
}

// ---- WaitForProcessEnd and TerminateAndWait ---------------------------------

TEST_F(Close, WaitEndsWhenTheProcessEnds) {
  App app("SpWaitEnds", "slow 300");
  ASSERT_TRUE(app.window());
  app.PostClose();
  const DWORD start = GetTickCount();
  EXPECT_TRUE(WaitForProcessEnd(app.id(), 10000));
  EXPECT_LT(GetTickCount() - start, 5000u);
  EXPECT_FALSE(app.running());
  EXPECT_EQ(app.ExitCode(), 0u);
}

TEST_F(Close, WaitRunsOutWithoutKeepingAProcessorBusy) {
  App app("SpWaitRunsOut", "ignore");
  ASSERT_TRUE(app.window());
  const uint64_t processorBefore = ProcessorMs();
  const DWORD start = GetTickCount();
  EXPECT_FALSE(WaitForProcessEnd(app.id(), 1000));
  EXPECT_GE(GetTickCount() - start, 1000u);
  // A wait that polls without pause uses 150 ms and more here (and the rest of
  // a processor in the Wine server); sleeping on the handle uses next to none.
  EXPECT_LT(ProcessorMs() - processorBefore, 80u);
  EXPECT_TRUE(app.running());
}

TEST_F(Close, WaitCountsAProcessThatCannotBeOpenedAsEnded) {
  DWORD endedId;
  {
    App app("SpWaitGone", "close");
    ASSERT_TRUE(app.window());
    endedId = app.id();
    app.PostClose();
    ASSERT_EQ(app.ExitCode(), 0u);
  }
  EXPECT_TRUE(WaitForProcessEnd(endedId, 60000));
}

TEST_F(Close, WaitPausesAfterTheProcessHasEnded) {
  App app("SpWaitPause", "close");
  ASSERT_TRUE(app.window());
  app.PostClose();
  ASSERT_EQ(app.ExitCode(), 0u);  // ended, but our handle keeps it open-able
  closeClock.endPauseMs = 400;
  const DWORD start = GetTickCount();
  EXPECT_TRUE(WaitForProcessEnd(app.id(), 5000));
  EXPECT_GE(GetTickCount() - start, 400u);
}

TEST_F(Close, TickCounterWrappingNeitherShortensNorLengthensTheWait) {
  App stubborn("SpWrapStubborn", "ignore");
  ASSERT_TRUE(stubborn.window());
  closeClock.tickCount = OffsetTickCount;
  for (uint32_t beforeWrap : {1u, 100u, 300u}) {
    tickOffset = 0xFFFFFFFFu - beforeWrap - GetTickCount();
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForProcessEnd(stubborn.id(), 500)) << beforeWrap;
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 500u) << beforeWrap;
    EXPECT_LT(elapsed, 3000u) << beforeWrap;
  }

  App ending("SpWrapEnding", "slow 400");
  ASSERT_TRUE(ending.window());
  tickOffset = 0xFFFFFFFFu - 50 - GetTickCount();
  ending.PostClose();
  EXPECT_TRUE(WaitForProcessEnd(ending.id(), 5000));
  EXPECT_EQ(ending.ExitCode(0), 0u);
}

// A window of this thread that notes when a message reached it.
std::atomic<DWORD> noticedAt{0};
LRESULT CALLBACK NoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) noticedAt = GetTickCount();
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(Close, WaitDispatchesTheThreadsMessagesAsTheyCome) {
  HWND window = CreateOwnWindow("SpNoticeWindow", NoticeProc, HWND_MESSAGE);
  ASSERT_TRUE(window);
  App app("SpWaitMessages", "ignore");
  ASSERT_TRUE(app.window());

  noticedAt = 0;
  const DWORD start = GetTickCount();
  std::thread poster([window] {
    Sleep(200);
    PostMessageA(window, WM_APP, 0, 0);
  });
  EXPECT_FALSE(WaitForProcessEnd(app.id(), 1500));
  poster.join();
  ASSERT_NE(noticedAt.load(), 0u);
  EXPECT_LT(noticedAt - start, 1200u);  // during the wait, not at its end
  DestroyWindow(window);
}

TEST_F(Close, TerminateEndsTheProcessWithExitCode1000) {
  App app("SpTerminate", "ignore");
  ASSERT_TRUE(app.window());
  EXPECT_TRUE(TerminateAndWait(app.id(), 4000));
  EXPECT_EQ(app.ExitCode(0), kTerminatedExitCode);

  DWORD endedId = app.id();
  EXPECT_FALSE(TerminateAndWait(endedId + 0x100000, 400));  // no such process
}

// ---- CloseInstancesOfClass --------------------------------------------------

TEST_F(Close, ForcedClosingOfOneApplication) {
  struct Case {
    const char* arguments;
    DWORD exitCode;
  } cases[] = {
      {"close", 0},
      {"slow 200", 0},
      {"ignore", kTerminatedExitCode},      // WM_CLOSE ignored: terminated
      {"linger 30000", kTerminatedExitCode},  // window gone, process runs on
  };
  EXPECT_TRUE(CloseInstancesOfClass("SpNotRunning", "Nothing", 400, true));
  for (const Case& c : cases) {
    App app("SpForced", c.arguments);
    ASSERT_TRUE(app.window()) << c.arguments;
    EXPECT_TRUE(CloseInstancesOfClass("SpForced", "Editor", 600, true)) << c.arguments;
    EXPECT_EQ(app.ExitCode(0), c.exitCode) << c.arguments;
  }
}

TEST_F(Close, ForcedClosingStopsAtTheFirstInstanceThatEndsByItself) {
  App first("SpTwoClose", "close");
  App second("SpTwoClose", "close");
  ASSERT_TRUE(first.window() && second.window());
  EXPECT_TRUE(CloseInstancesOfClass("SpTwoClose", "Editor", 3000, true));
  EXPECT_EQ(int(first.running()) + int(second.running()), 1);
}

TEST_F(Close, AfterATerminationTheNextInstanceIsHandledToo) {
  App first("SpTwoStubborn", "ignore");
  App second("SpTwoStubborn", "ignore");
  ASSERT_TRUE(first.window() && second.window());
  EXPECT_TRUE(CloseInstancesOfClass("SpTwoStubborn", "Editor", 400, true));
  EXPECT_EQ(first.ExitCode(0), kTerminatedExitCode);
  EXPECT_EQ(second.ExitCode(0), kTerminatedExitCode);
}

TEST_F(Close, WindowsOfThisProcessAreNotClosed) {
  // A class the installer's own windows share (dialogs, say) must not make it
  // close or end itself; another process's window of that class still counts.
  HWND own = CreateOwnWindow("SpOwnWindow", DefWindowProcA);
  ASSERT_TRUE(own);
  EXPECT_TRUE(CloseInstancesOfClass("SpOwnWindow", "Self", 400, true));
  EXPECT_TRUE(IsWindow(own));

  App app("SpOwnWindow", "close");
  ASSERT_TRUE(app.window());
  EXPECT_TRUE(CloseInstancesOfClass("SpOwnWindow", "Other", 3000, true));
  EXPECT_EQ(app.ExitCode(), 0u);
  EXPECT_TRUE(IsWindow(own));
  DestroyWindow(own);
}

TEST_F(Close, UnansweredQuestionsLeadToWmCloseOnTheThirdLook) {
  // Silent: both questions answer 0 at once, then the application is closed.
  App app("SpAskedSilently", "close");
  ASSERT_TRUE(app.window());
  EXPECT_TRUE(CloseInstancesOfClass("SpAskedSilently", "Editor", 3000, false));
  EXPECT_EQ(app.ExitCode(), 0u);
}

TEST_F(Close, SilentModeForcesAndTheListEndsAtTheFirstAbsentClass) {
  App first("SpListFirst", "close");
  App third("SpListThird", "close");
  ASSERT_TRUE(first.window() && third.window());
  SetKey(TextKey::App1Class, "SpListFirst");
  SetKey(TextKey::App1Name, "First");
  SetKey(TextKey::App2Name, "Second, without a class");
  SetKey(TextKey::App3Class, "SpListThird");
  SetKey(TextKey::App3Name, "F:Third");
  EXPECT_TRUE(CloseRunningInstances());
  EXPECT_EQ(first.ExitCode(), 0u);
  EXPECT_TRUE(third.running());
}

}  // namespace
