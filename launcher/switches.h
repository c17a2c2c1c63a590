// The installer's own switches: /s (silent) and /k (end the parent process),
// read from the process command line and from the header switch area.
#pragma once

#include <stdint.h>

#include "patch/format.h"

struct LauncherState {
  uint8_t launcherSilent;  // no launcher error box; the driver gets " /s"
  uint8_t killParent;      // terminate the process that started us
};

extern LauncherState launcher;

// Switches are seen where a space is followed by '-' or '/', one letter (any
// case) and then a space or the end of the text. Quotes are not special and
// nothing is removed; switches only add up.
void ScanSwitches(const char* text, LauncherState& state);

// Copies the switch area's text into `text` (kSwitchAreaSize bytes), stopping at
// its NUL or at the end of the area.
void ReadSwitchArea(const uint8_t* imageBase, char* text);
