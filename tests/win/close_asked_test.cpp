// Closing running applications when the user is asked: real question boxes,
// answered by a user thread of this test.
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

class CloseAsked : public CloseFixture {
 protected:
  void SetUp() override {
    CloseFixture::SetUp();
    session.silent = 0;
    SetKey(TextKey::ProductName, "Product");
    SetKey(TextKey::ClosingApplication, "Closing %s");
    SetKey(TextKey::ApplicationRunning, "Please close %s.");
    SetKey(TextKey::ApplicationNotClosed, "%s could not be closed.");
  }
  static std::string ProgressText() {
    char text[256] = "";
    GetDlgItemTextA(HWND(session.progressWindow), 0xFFFF, text, sizeof text);
    return text;
  }
};

TEST_F(CloseAsked, CancelEndsWithFalseAndLeavesTheApplicationRunning) {
  App app("SpAskCancel", "close");
  ASSERT_TRUE(app.window());
  User user({{IDCANCEL, nullptr}});
  EXPECT_FALSE(CloseInstancesOfClass("SpAskCancel", "Editor", 3000, false));
  EXPECT_EQ(user.Stop(), std::vector<std::string>{"Please close Editor."});
  EXPECT_TRUE(app.running());
  EXPECT_EQ(ProgressText(), "Closing Editor");
}

TEST_F(CloseAsked, TwoQuestionsThenWmClose) {
  App app("SpAskTwice", "close");
  ASSERT_TRUE(app.window());
  User user({{IDOK, nullptr}, {IDOK, nullptr}});
  EXPECT_TRUE(CloseInstancesOfClass("SpAskTwice", "", 3000, false));
  // Without a display name the question names the product.
  EXPECT_EQ(user.Stop(), std::vector<std::string>(2, "Please close Product."));
  EXPECT_EQ(app.ExitCode(), 0u);
}

TEST_F(CloseAsked, AnApplicationClosedByTheUserIsWaitedFor) {
  // The user closes it while asked; its window goes at once, the process 600 ms
  // later, and is not terminated.
  App app("SpAskUserCloses", "linger 600");
  ASSERT_TRUE(app.window());
  User user({{IDOK, [&app] {
                app.PostClose();
                for (int i = 0; i < 500 && app.window(); ++i) Sleep(10);
              }}});
  EXPECT_TRUE(CloseInstancesOfClass("SpAskUserCloses", "Editor", 5000, false));
  EXPECT_FALSE(app.running());
  EXPECT_EQ(app.ExitCode(0), 0u);
  EXPECT_EQ(user.Stop().size(), 1u);
}

TEST_F(CloseAsked, AProcessLeftRunningByTheUserDoesNotFailTheClass) {
  App app("SpAskUserLeaves", "linger 30000");
  ASSERT_TRUE(app.window());
  User user({{IDOK, [&app] {
                app.PostClose();
                for (int i = 0; i < 500 && app.window(); ++i) Sleep(10);
              }}});
  const DWORD start = GetTickCount();
  EXPECT_TRUE(CloseInstancesOfClass("SpAskUserLeaves", "Editor", 500, false));
  EXPECT_GE(GetTickCount() - start, 500u);
  EXPECT_TRUE(app.running());
}

// A stand-in for the progress window that counts the WM_USER it receives.
std::atomic<int> wmUserCount{0};
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) ++wmUserCount;
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(CloseAsked, EachQuestionIsPrecededByWmUserToTheProgressWindow) {
  session.progressWindow = CreateOwnWindow("SpCountingProgress", CountingProc);
  ASSERT_TRUE(session.progressWindow);
  wmUserCount = 0;
  App app("SpAskWmUser", "close");
  ASSERT_TRUE(app.window());
  // The box's loop takes a posted message out of the queue in the same look that
  // answers a click sent from another thread, and drops it once the click has
  // ended the box; so this user answers only once the WM_USER has arrived.
  auto awaitWmUser = [](int count) {
    return [count] {
      for (int i = 0; i < 500 && wmUserCount.load() < count; ++i) Sleep(10);
    };
  };
  User user({{IDOK, awaitWmUser(1)}, {IDOK, awaitWmUser(2)}});
  EXPECT_TRUE(CloseInstancesOfClass("SpAskWmUser", "Editor", 3000, false));
  EXPECT_EQ(user.Stop().size(), 2u);
  EXPECT_EQ(wmUserCount.load(), 2);
}

// ---- CloseRunningInstances: the list of the patch ---------------------------

TEST_F(CloseAsked, NoApplicationListedShowsNothing) {
  EXPECT_TRUE(CloseRunningInstances());
  EXPECT_EQ(session.progressWindow, nullptr);
}

TEST_F(CloseAsked, DisplayNamePrefixFForcesClosingWithoutAQuestion) {
  struct Case {
    const char* displayName;
    bool asked;
    const char* progress;
  } cases[] = {
      {"F:Editor", false, "Closing Editor"},
      {"F:", false, "Closing "},
      {"f:Editor", true, "Closing f:Editor"},
      {"Editor", true, "Closing Editor"},
  };
  for (const Case& c : cases) {
    App app("SpPrefix", "close");
    ASSERT_TRUE(app.window());
    SetKey(TextKey::App1Class, "SpPrefix");
    SetKey(TextKey::App1Name, c.displayName);
    User user({});  // cancels any question
    EXPECT_EQ(CloseRunningInstances(), !c.asked) << c.displayName;
    EXPECT_EQ(user.Stop().size(), c.asked ? 1u : 0u) << c.displayName;
    EXPECT_EQ(ProgressText(), c.progress);
    EXPECT_EQ(app.running(), c.asked) << c.displayName;
  }
}

TEST_F(CloseAsked, ACancelledApplicationEndsTheList) {
  App first("SpCancelFirst", "close");
  App second("SpCancelSecond", "close");
  ASSERT_TRUE(first.window() && second.window());
  SetKey(TextKey::App1Class, "SpCancelFirst");
  SetKey(TextKey::App1Name, "First");
  SetKey(TextKey::App2Class, "SpCancelSecond");
  SetKey(TextKey::App2Name, "F:Second");
  User user({{IDCANCEL, nullptr}});
  EXPECT_FALSE(CloseRunningInstances());
  EXPECT_EQ(user.Stop().size(), 1u);
  EXPECT_TRUE(first.running());
  EXPECT_TRUE(second.running());
}

}  // namespace
