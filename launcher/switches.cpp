#include "launcher/switches.h"

LauncherState launcher;

void ScanSwitches(const char* text, LauncherState& state) {
  if (!text) return;
  for (const char* p = text; *p; ++p) {
    if (p[0] != ' ' || (p[1] != '-' && p[1] != '/') || !p[2]) continue;
    const char letter = char(p[2] | 0x20);
    if ((letter != 's' && letter != 'k') || char(p[3] | 0x20) != 0x20) continue;
    if (letter == 's') state.launcherSilent = 1;
    else state.killParent = 1;
  }
}

void ReadSwitchArea(const uint8_t* imageBase, char* text) {
  const uint8_t* area = imageBase + kSwitchAreaOffset;
  uint32_t i = 0;
  for (; i + 1 < kSwitchAreaSize && area[i]; ++i) text[i] = char(area[i]);
  text[i] = 0;
}
