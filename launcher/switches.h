// The installer's own switches: /s (silent) and /k (end the parent process),
// read from the process command line and from the header switch area.
#pragma once

#include <stdint.h>

struct LauncherState {
  uint8_t launcherSilent;  // no launcher error box; the driver gets " /s"
  uint8_t killParent;      // terminate the process that started us
};

extern LauncherState launcher;

// Switches are seen where a space is followed by '-' or '/', one letter (any
// case) and then a space or the end of the text. Quotes are not special and
// nothing is removed; switches only add up.
void ScanSwitches(const char* text, LauncherState& state);

// The switch area: offsets 960-1023 of the executable's header, a
// NUL-terminated text that a patch builder may preset (it must begin with a space).
constexpr uint32_t kSwitchAreaOffset = 960;
constexpr uint32_t kSwitchAreaSize = 64;

// Copies the switch area's text into `text` (kSwitchAreaSize bytes), stopping at
// its NUL or at the end of the area.
void ReadSwitchArea(const uint8_t* imageBase, char* text);
