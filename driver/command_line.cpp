#include "driver/command_line.h"

namespace {

char* SkipSpaces(char* p) {
  while (*p == ' ') ++p;
  return p;
}

}  // namespace

bool ParseDriverCommandLine(char* text, DriverCommandLine& result) {
  result = DriverCommandLine{0, nullptr, text, false};
  char* p = text;
  for (;;) {
    const char terminator = *p == '"' ? '"' : ' ';
    if (*p == '"') ++p;
    char* start = p;
    while (*p && *p != terminator) ++p;
    const bool lastToken = !*p;
    if (!lastToken) *p++ = 0;
    // A "/s" ends the text when the launcher's payload holds only its first
    // entry: it is a switch there too, not the patch path.
    if (start[0] == '/' && start[1] == 's') {
      result.silent = true;
    } else if (result.tokenCount++ == 1) {
      result.patchPath = start;
    }
    if (lastToken) {
      result.postCommands = p;
      break;
    }
    p = SkipSpaces(p);
    result.postCommands = p;
    if (!*p || result.tokenCount >= 2) break;
  }
  return result.tokenCount >= 2;
}

char* NextPostCommand(char*& cursor) {
  if (!*cursor) return nullptr;
  char* command = cursor;
  while (*cursor && *cursor != ' ' && *cursor != '&') ++cursor;
  if (*cursor) {
    *cursor++ = 0;
    cursor = SkipSpaces(cursor);
  }
  return command;
}
