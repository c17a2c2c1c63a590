// Patch files from JSON descriptions (the `selfpatch assemble` command): texts,
// records with full or delta bodies, and deliberate faults for tests. The schema
// is documented in builder/cli/assemble.cpp and by `selfpatch assemble --help`.
#pragma once

#include <string>

#include "builder/format/payload_writer.h"

// Builds the patch that `descriptionText` describes; relative paths are taken
// from `folder`. Throws std::exception subclasses with a readable message.
Bytes AssemblePatch(const std::string& descriptionText, const std::string& folder);
