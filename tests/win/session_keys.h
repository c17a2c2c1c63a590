// The run's texts as a test sets them, by key, as a patch header would.
#pragma once

#include "driver/session.h"

inline void SetKey(TextKey key, const char* text) { session.strings.text[int(key)] = text; }
