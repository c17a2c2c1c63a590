// The progress window: a small modeless dialog with one owner-drawn static that
// shows one block of text, centred. Nothing runs a message loop while the update
// works, so every new text is drawn synchronously while it is being set.
#include <windows.h>
#include <string.h>

#include "driver/session.h"
#include "ui/limits.h"
#include "ui/ui.h"

namespace {

// DLGTEMPLATE + DLGITEMTEMPLATE in WORDs (little-endian halves for DWORDs).
// WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT,
// 176 x 64 dialog units, 9 point "ＭＳ Ｐゴシック"; one static item, id 0xFFFF,
// WS_CHILD | WS_VISIBLE | WS_GROUP | SS_OWNERDRAW at 4,4 sized 168 x 56.
alignas(4) const WORD kProgressDialogTemplate[] = {
    0x08C0, 0x80C8,  // style 0x80C808C0
    0x0000, 0x0000,  // extended style
    1,               // number of items
    0, 0, 176, 64,   // x, y, width, height
    0,               // no menu
    0,               // predefined dialog class
    0,               // empty title
    9,               // point size
    0xFF2D, 0xFF33, 0x0020, 0xFF30, 0x30B4, 0x30B7, 0x30C3, 0x30AF, 0x0000,
    // The item starts on a DWORD boundary: 22 WORDs so far.
    0x000D, 0x5002,  // style 0x5002000D
    0x0000, 0x0000,  // extended style
    4, 4, 168, 56,   // x, y, width, height
    kProgressTextId, // control id
    0xFFFF, 0x0082,  // predefined class: static
    0,               // empty text
    0,               // no creation data
};
static_assert(sizeof(kProgressDialogTemplate) == 70, "template layout");

constexpr UINT kCalcFlags = DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL;  // 0x2410
constexpr UINT kDrawFlags = DT_WORDBREAK | DT_EDITCONTROL;                // 0x2010
constexpr UINT kPlaceFlags = SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW;  // 0x45

// Draws the control's text as one block centred in the item; wrapped lines keep
// a common left edge. The text is read into 256 bytes, so at most 255 are drawn.
void DrawProgressText(HWND dialog, const DRAWITEMSTRUCT& item) {
  HBRUSH background = HBRUSH(SendMessageA(dialog, WM_CTLCOLORSTATIC, WPARAM(item.hDC),
                                          LPARAM(item.hwndItem)));
  HFONT font = HFONT(SendMessageA(dialog, WM_GETFONT, 0, 0));
  HGDIOBJ previousFont = SelectObject(item.hDC, font);

  char text[kProgressDrawLimit + 1];
  int length = GetWindowTextA(item.hwndItem, text, sizeof text);

  RECT block = item.rcItem;
  int height = DrawTextA(item.hDC, text, length, &block, kCalcFlags);
  int down = (item.rcItem.bottom - height) / 2;
  if (down > 0) OffsetRect(&block, 0, down);
  int right = (item.rcItem.right - block.right) / 2;
  if (right > 0) OffsetRect(&block, right, 0);

  FillRect(item.hDC, &item.rcItem, background);
  DrawTextA(item.hDC, text, length, &block, kDrawFlags);
  if (previousFont) SelectObject(item.hDC, previousFont);
}

BOOL CALLBACK FindOwnedWindow(HWND window, LPARAM data) {
  HWND* found = reinterpret_cast<HWND*>(data);
  if (GetWindow(window, GW_OWNER) != found[0] || !IsWindowVisible(window)) return TRUE;
  found[1] = window;
  return FALSE;
}

// The visible window that `owner` owns on this thread (a question), if any.
HWND OwnedQuestion(HWND owner) {
  HWND found[2] = {owner, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), FindOwnedWindow, reinterpret_cast<LPARAM>(found));
  return found[1];
}

// Handles two messages and answers "not handled" to all, so the dialog manager's
// defaults apply; the cancel command of the close box is ignored.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  if (message == WM_DRAWITEM) {
    DrawProgressText(dialog, *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
  } else if (message == WM_USER) {
    SetForegroundWindow(dialog);
    // Handled in the loop of a question that the window owns: the question
    // must stay in front of it, and a window system without a manager (Wine's)
    // would otherwise leave it underneath.
    HWND question = OwnedQuestion(dialog);
    if (question) {
      SetWindowPos(question, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      SetForegroundWindow(question);
    }
  }
  return 0;
}

// Some window systems (Wine's, for one) keep what a window drew in a buffer and
// copy it to the screen only when the thread looks at its message queue and
// finds nothing. A look for a message that nobody posts does that and takes no
// message out of the queue, so a posted WM_USER still waits for the next loop
// (messages sent from other threads are answered, as in any look at the queue).
constexpr UINT kNeverPosted = WM_APP + 0x3FF0;

void ShowDrawingNow(HWND control) {
  MSG message;
  PeekMessageA(&message, control, kNeverPosted, kNeverPosted, PM_NOREMOVE);
}

// Creates the window titled with the caption, one third of its height above the
// centred position where DS_CENTER put it. Creation failures are not reported:
// the next progress text tries again.
void CreateProgressWindow() {
  HWND window = CreateDialogIndirectParamA(
      HINSTANCE(session.instance), reinterpret_cast<LPCDLGTEMPLATEA>(kProgressDialogTemplate),
      nullptr, ProgressDialogProc, 0);
  session.progressWindow = window;
  if (!window) return;
  SetWindowTextA(window, session.caption);
  RECT frame;
  GetWindowRect(window, &frame);
  SetWindowPos(window, nullptr, frame.left, frame.top - (frame.bottom - frame.top) / 3, 0, 0,
               kPlaceFlags);
}

}  // namespace

void ShowProgressV(const char* format, const FormatArg* args, int argCount) {
  if (session.silent) return;
  const bool fresh = !session.progressWindow;
  if (fresh) CreateProgressWindow();
  char text[kTextBufferSize];
  FormatText(text, sizeof text, format ? format : "", args, argCount);
  HWND window = HWND(session.progressWindow);
  if (!window) return;  // creation failed: the text is lost
  // The text shown already: a redraw would change nothing on the screen and
  // costs milliseconds where drawing goes through a display server (each file
  // of an update sets its text more than once). A fresh window is drawn whole.
  if (!fresh) {
    char shown[kTextBufferSize] = "";
    GetDlgItemTextA(window, kProgressTextId, shown, sizeof shown);
    if (strcmp(shown, text) == 0) return;
  }
  SetDlgItemTextA(window, kProgressTextId, text);
  // The static paints itself while its text is set when it is visible; make sure
  // it has, in case the platform only invalidated it.
  HWND control = GetDlgItem(window, kProgressTextId);
  if (control && GetUpdateRect(control, nullptr, FALSE)) UpdateWindow(control);
  ShowDrawingNow(control);
}
