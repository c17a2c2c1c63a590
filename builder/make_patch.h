// Builds the patch of a project: for every file of the new version a group of
// records that brings each old version's copy to the new content (deltas, chains
// of deltas through later old versions, and the full content as the fallback).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "builder/encoder.h"
#include "builder/format/patch_writer.h"
#include "builder/project.h"
#include "builder/texts.h"

// What one old version needs of the patch, in bytes of the patch before it is
// compressed.
struct VersionUse {
  std::string folder;
  size_t files = 0;          // its files that need a record
  uint64_t recordBytes = 0;  // the records those files use (a chain's continuation included)
  // A patch for this version alone: per file the delta straight to the new
  // version and the full content as the project asks, the texts included.
  uint64_t aloneBytes = 0;
};

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
  // The largest file the installer maps: the new content or an old copy of a
  // file with records (an intermediate version of a chain included).
  uint64_t largestFileBytes = 0;
  std::vector<VersionUse> versions;  // per old folder, oldest first
  std::vector<std::string> warnings;
};

// One file done, in the order of the patch's groups, for progress and for a
// listing of what was decided.
struct FileDone {
  std::string relative;  // in the new folder, '/' separators
  std::string decision;  // "unchanged", or its records, e.g. "1.0: chain (123 bytes); full (4567 bytes)"
  size_t filesDone = 0, filesTotal = 0;
  uint64_t bytesDone = 0, bytesTotal = 0;  // bytes read: the new file and its old copies
};

struct MakeOptions {
  EncoderOptions encoder;
  unsigned threads = 0;  // files encoded side by side; 0: one per processor
  std::function<void(const FileDone&)> onFileDone;  // called on one thread at a time
};

struct MadePatch {
  PatchFile patch;  // the records without their bodies, which are in `bytes` only
  Bytes bytes;      // the patch as written
  MakeSummary summary;
};

// The texts request that the project's [product] and [texts] make.
TextRequest TextRequestFor(const Project& project);

// Builds the patch of `project`, several files at a time. The same inputs give
// the same bytes whatever the number of threads. Memory holds the patch and,
// per thread, one file with its old copies. Throws std::runtime_error naming
// the file at fault (a name the installer cannot use, names that differ only
// in case, a file of 2 GiB or more...).
MadePatch MakePatch(const Project& project, const MakeOptions& options = MakeOptions());
