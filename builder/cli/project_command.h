// What `selfpatch make` and `selfpatch build` share: loading the project,
// making the patch, checking it against every old folder and the new one, and
// the summary.
#pragma once

#include <string>

#include "builder/make_patch.h"
#include "builder/project.h"

struct ProjectPatch {
  Project project;
  MadePatch made;
};

// Loads `projectFile` and makes its patch, then verifies it: each old folder
// and the new folder must come out as the new version. Prints the warnings to
// stderr, prefixed by `command`. Throws std::runtime_error on any fault or
// mismatch (the verification report is printed to stderr first).
ProjectPatch MakeVerifiedPatch(const std::string& projectFile, const char* command);

// Checks that `written` (the patch read back from what was written) is the
// patch that was verified. Throws std::runtime_error when it is not.
void CheckWritten(const ProjectPatch& made, const Bytes& written, const std::string& output);

// The records, sizes, chains and warnings of `made` in a few lines.
void PrintPatchSummary(const ProjectPatch& made);
