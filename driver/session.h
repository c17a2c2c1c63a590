// The process-wide state of one update run. Zero at start; lives until the
// process ends. Every module reads and writes it through `session`.
#pragma once

#include <stdint.h>

#include "locate/folders.h"
#include "patch/header.h"

struct UpdateSession {
  uint32_t failureCount;        // files not updated: missing or of another version
  uint8_t silent;               // no boxes, no progress window, no folder browser
  char caption[256];            // caption of every box and of the progress window
  void* instance;               // the executable's module handle (HINSTANCE)
  int32_t updatedCount;         // copies replaced plus files created
  void* progressWindow;         // HWND of the progress window, null until shown
  char candidateFolders[kCandidateFoldersSize];  // ';'-separated folders to look in
  uint32_t lastProgressTick;    // tick of the last progress text of a folder scan
  StringTable strings;          // the patch texts by key
  uint32_t rebootNeeded;        // a replacement waits for the next restart
  uint8_t cancelled;            // the user cancelled the drive scan: the run ends, code 1
};

extern UpdateSession session;

// The run's text of `key` for showing (absent reads as empty).
inline const char* Key(TextKey key) { return KeyText(session.strings, key); }
