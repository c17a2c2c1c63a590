#include "ui/ui.h"

// Waiting for the progress window module: shows nothing.
void ShowProgressV(const char*, const FormatArg*, int) {}
