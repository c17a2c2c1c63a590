// The driver's command line: a dummy first token, an optional "/s", the patch
// path, then the post-update command text.
#pragma once

struct DriverCommandLine {
  int tokenCount;          // counted tokens ("/s" is not counted)
  const char* patchPath;   // second counted token, or null
  char* postCommands;      // the text after the second token; empty when none
  bool silent;             // a token beginning with "/s" was seen
};

// Cuts `text` in place into tokens. A token in double quotes runs to the next
// double quote, any other to the next space. Only two tokens are taken; the
// rest is the post-update command text. Returns true when two tokens were found.
bool ParseDriverCommandLine(char* text, DriverCommandLine& result);

// Takes the next post-update command from `cursor` and cuts it with a NUL.
// Commands end at a space, '&' or the end of the text; spaces after a separator
// are skipped. Returns null when no command is left; a command may be empty
// (two separators in a row).
char* NextPostCommand(char*& cursor);
