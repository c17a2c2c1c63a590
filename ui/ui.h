// The only ways to talk to the user: the progress window and message boxes.
// Both do nothing in silent mode; an empty or absent text shows no box.
#pragma once

#include "ui/format.h"

enum BoxStyle {
  BoxError = 16,           // MB_OK | MB_ICONERROR
  BoxOkCancelError = 17,   // MB_OKCANCEL | MB_ICONERROR
  BoxYesNoCancel = 35,     // MB_YESNOCANCEL | MB_ICONQUESTION
  BoxYesNo = 36,           // MB_YESNO | MB_ICONQUESTION
  BoxInformation = 64,     // MB_OK | MB_ICONINFORMATION
};

enum BoxAnswer { AnswerNone = 0, AnswerOk = 1, AnswerCancel = 2, AnswerYes = 6, AnswerNo = 7 };

int BoxV(int style, const char* format, const FormatArg* args, int argCount);
void ShowProgressV(const char* format, const FormatArg* args, int argCount);

template <typename... Args>
int Box(int style, const char* format, Args... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg()};
  return BoxV(style, format, list, int(sizeof...(Args)));
}

template <typename... Args>
int ErrorBox(const char* format, Args... args) {
  return Box(BoxError, format, args...);
}

template <typename... Args>
void ShowProgress(const char* format, Args... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg()};
  ShowProgressV(format, list, int(sizeof...(Args)));
}
