// The installer program that the selfpatch tool carries inside itself.
#pragma once

#include "patch/bytes.h"

// The embedded installer program; empty when the tool was built without one
// (the Windows build had not run), in which case `--stub` must name one.
ByteView EmbeddedStub();
