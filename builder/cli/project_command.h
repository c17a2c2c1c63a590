// What `selfpatch make` and `selfpatch build` share: loading the project,
// making the patch, checking it against every old folder and the new one,
// progress, and the summary.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "builder/cli/progress.h"
#include "builder/make_patch.h"
#include "builder/project.h"

struct FileDecision {
  std::string relative, decision;
};

struct ProjectPatch {
  Project project;
  MadePatch made;
  std::vector<FileDecision> decisions;  // in the order of the patch's groups
};

struct RunOptions {
  unsigned threads = 0;  // for every step that runs side by side; 0: one per processor
  bool quiet = false;    // no progress
  bool verbose = false;  // each file's decision
  bool json = false;     // the summary as JSON on stdout
};

// --threads, --quiet, --verbose and --json.
void AddRunOptions(CLI::App& app, RunOptions& options);

// Loads `projectFile` and makes its patch, then verifies it: each old folder
// and the new folder must come out as the new version. Prints the warnings to
// stderr, prefixed by `command`, and with --verbose (not --json) each file's
// decision to stdout. Throws std::runtime_error on any fault or mismatch (the
// verification report is printed to stderr first).
ProjectPatch MakeVerifiedPatch(const std::string& projectFile, const char* command, const RunOptions& options,
                               ProgressLine& progress);

// Checks that the file written at `output` holds the patch that was verified,
// reading it in steps. Throws std::runtime_error when it does not.
void CheckWritten(const ProjectPatch& made, const std::string& output);

// The records, sizes, chains, what each old version uses, and warnings of
// `made` in a few lines.
void PrintPatchSummary(const ProjectPatch& made);

// The same as JSON, with each file's decision when `withFiles`.
nlohmann::json PatchSummaryJson(const ProjectPatch& made, bool withFiles);
