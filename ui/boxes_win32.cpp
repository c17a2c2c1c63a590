// Message boxes: every question and report of a run, worded by the patch. A box
// that is not shown (empty text, silent mode, or MessageBoxA failing) answers 0.
#include <windows.h>

#include "driver/kill_point.h"
#include "driver/session.h"
#include "ui/limits.h"
#include "ui/ui.h"

int BoxV(int style, const char* format, const FormatArg* args, int argCount) {
  if (!format || !*format) return 0;
  MESSAGE_POINT(format, args, argCount);
  if (session.silent) return 0;
  char text[kTextBufferSize];
  FormatText(text, sizeof text, format, args, argCount);
  return MessageBoxA(HWND(session.progressWindow), text, session.caption, UINT(style));
}
