// The patch's text of a key for showing: an absent text reads as empty.
#pragma once

#include "driver/session.h"

inline const char* PatchText(int key) {
  const char* text = session.strings.text[key];
  return text ? text : "";
}
