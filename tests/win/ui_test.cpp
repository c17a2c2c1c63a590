// Message boxes and the progress window, shown for real and answered by boxbot
// from a second process.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/win/ui_helpers.h"
#include "ui/limits.h"
#include "ui/ui.h"

using namespace uitest;

namespace {

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSession("Product 2.0 update"); }
  void TearDown() override { ResetSession(""); }

  static HWND Progress() { return HWND(session.progressWindow); }
  static HWND ProgressText() { return GetDlgItem(Progress(), kProgressTextId); }
};

// ---- message boxes ----------------------------------------------------------

TEST_F(UiTest, EmptyOrAbsentTextOrSilentModeShowsNothingAndAnswersZero) {
  struct Case {
    bool silent;
    const char* text;
  } cases[] = {{false, ""}, {false, nullptr}, {true, ""}, {true, nullptr}, {true, "Go on?"}};
  for (const Case& c : cases) {
    session.silent = c.silent;
    CreationGuard guard;
    for (int style : {BoxError, BoxOkCancelError, BoxYesNoCancel, BoxYesNo, BoxInformation}) {
      EXPECT_EQ(Box(style, c.text, "a", 2), 0) << style;
      EXPECT_EQ(ErrorBox(c.text, "a", 2), 0);
    }
    EXPECT_EQ(guard.attempts(), 0) << (c.text ? c.text : "(null)") << " silent " << c.silent;
  }
}

TEST_F(UiTest, EachStyleShowsItsButtonsAndIconAndReturnsTheButtonPressed) {
  struct Case {
    int style;
    const char* answer;
    int expected;
    const char* buttons;
    const char* icon;
  } cases[] = {
      {BoxError, "OK", AnswerOk, "[\"OK\"]", "error"},
      {BoxOkCancelError, "Cancel", AnswerCancel, "[\"OK\",\"Cancel\"]", "error"},
      {BoxYesNoCancel, "No", AnswerNo, "[\"Yes\",\"No\",\"Cancel\"]", "question"},
      {BoxYesNo, "Yes", AnswerYes, "[\"Yes\",\"No\"]", "question"},
      {BoxInformation, "OK", AnswerOk, "[\"OK\"]", "information"},
  };
  ShowProgress("working");
  std::vector<std::string> answers;
  for (const Case& c : cases) answers.push_back(c.answer);
  Boxbot bot(answers);
  ASSERT_TRUE(bot.started());
  for (const Case& c : cases)
    EXPECT_EQ(Box(c.style, "Style %d: %s", c.style, c.answer), c.expected) << c.style;
  std::vector<std::string> boxes = bot.Finish();
  ASSERT_EQ(boxes.size(), std::size(cases));
  for (size_t i = 0; i < boxes.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(boxes[i]);
    EXPECT_EQ(Field(boxes[i], "caption"), "Product 2.0 update");
    EXPECT_EQ(Field(boxes[i], "text"), "Style " + std::to_string(c.style) + ": " + c.answer);
    EXPECT_NE(boxes[i].find("\"buttons\":" + std::string(c.buttons)), std::string::npos);
    EXPECT_EQ(Field(boxes[i], "icon"), c.icon);
    EXPECT_EQ(Field(boxes[i], "owner"), "progress");
  }
}

TEST_F(UiTest, BoxBeforeTheProgressWindowHasNoOwner) {
  Boxbot bot({"OK"});
  EXPECT_EQ(ErrorBox("Cannot open %s (%u)", "C:\\a.dif", 2u), AnswerOk);
  std::vector<std::string> boxes = bot.Finish();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Field(boxes[0], "owner"), "none");
  EXPECT_EQ(Field(boxes[0], "text"), "Cannot open C:\\a.dif (2)");
  EXPECT_EQ(Field(boxes[0], "progress"), "null");
}

TEST_F(UiTest, LongFormattedTextIsCutToTheBuffer) {
  std::string half;
  while (half.size() < 700) half += "word" + std::to_string(half.size()) + " ";
  Boxbot bot({"OK"});
  EXPECT_EQ(Box(BoxInformation, "%s%s!", half.c_str(), half.c_str()), AnswerOk);
  std::vector<std::string> boxes = bot.Finish();
  ASSERT_EQ(boxes.size(), 1u);
  std::string expected = (half + half).substr(0, kTextBufferSize - 1);
  EXPECT_EQ(Field(boxes[0], "text"), expected);
  EXPECT_EQ(Field(boxes[0], "icon"), "information");
}

TEST_F(UiTest, MoreConversionsThanArgumentsShowOnlyWhatWasPassed) {
  Boxbot bot({"OK", "OK"});
  EXPECT_EQ(Box(BoxError, "[%s] then %s %d %x %s", "given"), AnswerOk);
  EXPECT_EQ(Box(BoxError, "%s|%s|%s|%s|%s|%s|%s|%s"), AnswerOk);
  std::vector<std::string> boxes = bot.Finish();
  ASSERT_EQ(boxes.size(), 2u);
  // Whatever stands for a missing argument comes from the text itself, never
  // from memory past the arguments.
  std::string first = Field(boxes[0], "text");
  ASSERT_EQ(first.rfind("[given] then ", 0), 0u) << first;
  EXPECT_EQ(first.find_first_not_of("%sdx ", 13), std::string::npos) << first;
  std::string second = Field(boxes[1], "text");
  EXPECT_EQ(second.find_first_not_of("%s|"), std::string::npos) << second;
}

TEST_F(UiTest, CaptionOfEveryBoxIsTheCurrentCaption) {
  Boxbot bot({"OK", "OK"});
  ErrorBox("first");
  lstrcpyA(session.caption, "C:\\temp\\setup.exe");
  ErrorBox("second");
  std::vector<std::string> boxes = bot.Finish();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(Field(boxes[0], "caption"), "Product 2.0 update");
  EXPECT_EQ(Field(boxes[1], "caption"), "C:\\temp\\setup.exe");
}

// ---- progress window --------------------------------------------------------

TEST_F(UiTest, SilentProgressCreatesNoWindow) {
  session.silent = 1;
  CreationGuard guard;
  ShowProgress("Checking %s", "Product");
  ShowProgress("");
  EXPECT_EQ(guard.attempts(), 0);
  EXPECT_EQ(session.progressWindow, nullptr);
}

TEST_F(UiTest, WindowFollowsItsTemplate) {
  ShowProgress("Checking %s", "Product");
  HWND window = Progress();
  ASSERT_NE(window, nullptr);
  char className[32];
  GetClassNameA(window, className, sizeof className);
  EXPECT_STREQ(className, "#32770");
  // The window style keeps the template's bits (the system adds WS_CLIPSIBLINGS).
  EXPECT_EQ(DWORD(GetWindowLongA(window, GWL_STYLE)) & ~DWORD(WS_CLIPSIBLINGS) & 0xFFFF0000u,
            (0x80C808C0u | WS_VISIBLE) & 0xFFFF0000u);
  EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & ~(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE |
                                                    WS_EX_CONTROLPARENT),
            0);

  // Client area 176 x 64 dialog units; one control at 4,4 sized 168 x 56.
  RECT expected = {0, 0, 176, 64};
  MapDialogRect(window, &expected);
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, expected.right);
  EXPECT_EQ(client.bottom, expected.bottom);
  HWND text = ProgressText();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(DWORD(GetWindowLongA(text, GWL_STYLE)), 0x5002000Du);
  EXPECT_EQ(GetDlgCtrlID(text), kProgressTextId);
  RECT item = {4, 4, 4 + 168, 4 + 56};
  MapDialogRect(window, &item);
  RECT placed;
  GetWindowRect(text, &placed);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, item.left);
  EXPECT_EQ(placed.top, item.top);
  EXPECT_EQ(placed.right, item.right);
  EXPECT_EQ(placed.bottom, item.bottom);
  EXPECT_EQ(GetWindow(window, GW_CHILD), text);
  EXPECT_EQ(GetWindow(text, GW_HWNDNEXT), nullptr) << "one control only";

  // The font asked for: 9 points of "ＭＳ Ｐゴシック" (the platform may substitute it).
  LOGFONTW font = {};
  GetObjectW(HFONT(SendMessageA(window, WM_GETFONT, 0, 0)), sizeof font, &font);
  HDC screen = GetDC(nullptr);
  EXPECT_EQ(font.lfHeight, -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72));
  ReleaseDC(nullptr, screen);
  EXPECT_STREQ(font.lfFaceName, L"\xFF2D\xFF33\x0020\xFF30\x30B4\x30B7\x30C3\x30AF");
}

TEST_F(UiTest, WindowStandsAThirdOfItsHeightAboveTheCentreTitledWithTheCaption) {
  ShowProgress("one");
  HWND window = Progress();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindowVisible(window));
  char title[256];
  GetWindowTextA(window, title, sizeof title);
  EXPECT_STREQ(title, "Product 2.0 update");

  RECT frame, work;
  GetWindowRect(window, &frame);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  int width = frame.right - frame.left, height = frame.bottom - frame.top;
  int centredLeft = work.left + (work.right - work.left - width) / 2;
  int centredTop = work.top + (work.bottom - work.top - height) / 2;
  EXPECT_NEAR(frame.left, centredLeft, 1);
  EXPECT_NEAR(frame.top, centredTop - height / 3, 1);

  // Later texts change neither place, size nor title, even with a new caption.
  lstrcpyA(session.caption, "Another caption");
  ShowProgress("two %s", "three");
  EXPECT_EQ(Progress(), window);
  RECT after;
  GetWindowRect(window, &after);
  EXPECT_TRUE(EqualRect(&frame, &after));
  GetWindowTextA(window, title, sizeof title);
  EXPECT_STREQ(title, "Product 2.0 update");
  char text[64];
  GetWindowTextA(ProgressText(), text, sizeof text);
  EXPECT_STREQ(text, "two three");
}

TEST_F(UiTest, TextIsDrawnCentredWhileItIsSetWithoutAMessageLoop) {
  ShowProgress("");
  ASSERT_NE(Progress(), nullptr);
  Pump(100);  // let the first paint of the fresh window settle
  ShowProgress("");
  Picture empty = Grab(ProgressText());
  ASSERT_GT(empty.width, 0);
  EXPECT_EQ(InkBounds(empty).right, -1) << "an empty text leaves the area empty";

  // No message is dispatched from here on: the text must be there at once.
  ShowProgress("%s", "WWWW");
  Picture one = Grab(ProgressText());
  RECT ink = InkBounds(one);
  ASSERT_GE(ink.right, 0) << "nothing drawn";
  int leftMargin = ink.left, rightMargin = one.width - 1 - ink.right;
  int topMargin = ink.top, bottomMargin = one.height - 1 - ink.bottom;
  EXPECT_NEAR(leftMargin, rightMargin, 3);
  EXPECT_NEAR(topMargin, bottomMargin, 6);

  // Three lines are centred as one block: every line starts at the same left edge.
  ShowProgress("H\nHHHHHHHH\nH");
  Picture three = Grab(ProgressText());
  RECT block = InkBounds(three);
  EXPECT_NEAR(block.left, three.width - 1 - block.right, 3);
  int firstLineLeft = -1, lastLineLeft = -1;
  COLORREF background = three.at(0, 0);
  for (int x = 0; x < three.width && firstLineLeft < 0; ++x)
    for (int y = block.top; y < block.top + 4; ++y)
      if (three.at(x, y) != background) firstLineLeft = x;
  for (int x = 0; x < three.width && lastLineLeft < 0; ++x)
    for (int y = block.bottom - 3; y <= block.bottom; ++y)
      if (three.at(x, y) != background) lastLineLeft = x;
  EXPECT_EQ(firstLineLeft, block.left);
  EXPECT_EQ(lastLineLeft, block.left);
}

// Every DrawTextA call of this program, through its import table.
struct DrawCall {
  std::string text;
  UINT format;
};
std::vector<DrawCall> drawCalls;
decltype(&DrawTextA) realDrawText = nullptr;

int WINAPI RecordingDrawText(HDC dc, LPCSTR text, int length, LPRECT rect, UINT format) {
  drawCalls.push_back({std::string(text, length < 0 ? lstrlenA(text) : length), format});
  return realDrawText(dc, text, length, rect, format);
}

TEST_F(UiTest, OnlyTheFirst255CharactersOfALongTextAreDrawn) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += char('a' + i % 26);
  ShowProgress("");
  ImportPatch patch("user32.dll", "DrawTextA", reinterpret_cast<void*>(RecordingDrawText));
  ASSERT_TRUE(patch.active());
  realDrawText = reinterpret_cast<decltype(&DrawTextA)>(patch.original());

  for (size_t length : {size_t(10), size_t(255), size_t(256), size_t(300)}) {
    drawCalls.clear();
    ShowProgress("%s", text.substr(0, length).c_str());
    EXPECT_EQ(GetWindowTextLengthA(ProgressText()), int(length)) << "stored whole";
    // Measured, then drawn: the same text, cut to 255 characters.
    ASSERT_EQ(drawCalls.size(), 2u) << length;
    std::string drawn = text.substr(0, std::min<size_t>(length, kProgressDrawLimit));
    EXPECT_EQ(drawCalls[0].text, drawn);
    EXPECT_EQ(drawCalls[0].format, 0x2410u);  // DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL
    EXPECT_EQ(drawCalls[1].text, drawn);
    EXPECT_EQ(drawCalls[1].format, 0x2010u);  // DT_WORDBREAK | DT_EDITCONTROL
  }
}

TEST_F(UiTest, TheTextShownAlreadyIsNotDrawnAgain) {
  ShowProgress("");
  ImportPatch patch("user32.dll", "DrawTextA", reinterpret_cast<void*>(RecordingDrawText));
  ASSERT_TRUE(patch.active());
  realDrawText = reinterpret_cast<decltype(&DrawTextA)>(patch.original());
  const struct {
    const char* text;
    size_t draws;  // DrawTextA calls: a measure and a draw per new text
  } steps[] = {{"Updating a.dll", 2}, {"Updating a.dll", 0}, {"Updating A.dll", 2}, {"", 2}, {"", 0}};
  for (const auto& step : steps) {
    drawCalls.clear();
    ShowProgress("%s", step.text);
    EXPECT_EQ(drawCalls.size(), step.draws) << step.text;
    char shown[64];
    GetWindowTextA(ProgressText(), shown, sizeof shown);
    EXPECT_STREQ(shown, step.text);
  }
}

TEST_F(UiTest, CloseBoxLeavesTheWindowOpen) {
  ShowProgress("working");
  HWND window = Progress();
  SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageA(window, WM_CLOSE, 0, 0);
  Pump(200);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(Progress(), window);
}

TEST_F(UiTest, UserMessageBringsTheWindowToTheForeground) {
  ShowProgress("working");
  HWND window = Progress();
  HWND other = CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                               nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(other);
  Pump(50);
  ASSERT_NE(GetForegroundWindow(), window);
  PostMessageA(window, WM_USER, 0, 0);
  // Showing a text takes nothing from the queue: the request waits for a loop.
  ShowProgress("still working");
  MSG pending;
  EXPECT_TRUE(PeekMessageA(&pending, window, WM_USER, WM_USER, PM_NOREMOVE));
  Pump(100);
  EXPECT_EQ(GetForegroundWindow(), window);
  DestroyWindow(other);
}

}  // namespace
