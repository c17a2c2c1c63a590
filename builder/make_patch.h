// Builds the patch of a project: for every file of the new version a group of
// records that brings each old version's copy to the new content (deltas, chains
// of deltas through later old versions, and the full content as the fallback).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/encoder.h"
#include "builder/format/patch_writer.h"
#include "builder/project.h"
#include "builder/texts.h"

struct MakeSummary {
  size_t files = 0;           // files of the new version
  size_t groups = 0;          // files that got records
  size_t unchangedFiles = 0;  // identical in every old version: no records needed
  size_t deltaRecords = 0;    // from an old version straight to the new one
  size_t chainRecords = 0;    // from an old version to the next one, continued from there
  size_t fullRecords = 0;
  size_t sharedCopies = 0;    // old copies served by the record of an identical copy
  size_t droppedDeltas = 0;   // old versions left to the full record, whose delta was not smaller
  uint64_t newBytes = 0;      // the new version's files together
  uint64_t patchBytes = 0;
  std::vector<std::string> warnings;
};

struct MadePatch {
  PatchFile patch;
  Bytes bytes;  // the patch as written
  MakeSummary summary;
};

// The texts request that the project's [product] and [texts] make.
TextRequest TextRequestFor(const Project& project);

// Builds the patch of `project`. The same inputs give the same bytes. Throws
// std::runtime_error naming the file at fault (a name the installer cannot use,
// names that differ only in case, a file of 4 GiB or more...).
MadePatch MakePatch(const Project& project, const EncoderOptions& encoder = EncoderOptions());
