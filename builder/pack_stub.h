// The installer program that the selfpatch tool carries inside itself.
#pragma once

#include <string>

#include "builder/format/payload_writer.h"
#include "patch/bytes.h"

// The embedded installer program; empty when the tool was built without one
// (the Windows build had not run), in which case `--stub` must name one.
ByteView EmbeddedStub();

// The installer program to pack into: the file at `path`, or the embedded one
// when `path` is empty. Throws PackError when there is none, FileError when the
// file cannot be read.
Bytes LoadStub(const std::string& path);
