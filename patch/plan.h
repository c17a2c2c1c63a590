// The update plan: what the installer decides about the files a patch names.
// The installer's engine asks these functions while it updates, and the tool's
// dry run (verify) asks the same ones, so the two cannot tell different stories.
//
// A group is the run of consecutive records with one name, as the caller's
// system compares names; the walk passes over a record for the other family of
// Windows where it would begin a group. Of a group the search takes the CRCs of
// what it may find (each record's old and new CRC, once each, at most
// kCrcListMax); the record chosen for a copy is the one that starts from its
// exact size and CRC, else the last full-content record unless the copy is
// already new; after each step the chain goes on with the first record that
// starts from the version just made, for at most as many steps as the group has
// records.
#pragma once

#include <stdint.h>

#include "patch/bytes.h"
#include "patch/format.h"
#include "patch/records.h"

// Whether two record names name the same file, as the system compares them.
using NamesEqual = bool (*)(const char* a, const char* b);

struct RecordGroup {
  uint32_t start;
  uint32_t end;  // the first record after the group, or the end of the area
  int32_t recordCount;
  bool optional;        // a missing file is passed over silently
  bool hasFullContent;  // some record holds the whole new file
  bool creatable;       // a missing file is created from its full content
  bool allowDriveScan;  // a file not found may be looked for on every drive
  uint32_t crcList[kCrcListMax];  // what the search takes: old and new CRCs
  int32_t crcCount;
  uint32_t newCrcs[kCrcListMax];  // what the records produce, each CRC once
  int32_t newCrcCount;
};

// Whether a record with `flags` is for the family the run is on.
bool PlatformFits(uint32_t flags, bool isNt);

// The group that begins at `first`: it and every following record whose name
// `namesEqual` takes for the first one's.
void FormGroup(ByteView records, const FileRecord& first, NamesEqual namesEqual,
               RecordGroup& group);

// The record of the group that brings a copy of `size` bytes and `crc` (0 and
// 0 for a file to create) to the new version. False when none does; `upToDate`
// then says whether the copy is a version that a record produces.
bool ChooseRecord(ByteView records, const RecordGroup& group, uint32_t crc, uint32_t size,
                  FileRecord& chosen, bool& upToDate);

// The first record of the records [groupStart, groupEnd) that starts from a
// file of `size` bytes and `crc`: the next step of a chain.
bool FindContinuation(ByteView records, uint32_t groupStart, uint32_t groupEnd, uint32_t crc,
                      uint32_t size, FileRecord& next);

// How many records [groupStart, groupEnd) holds: no honest chain takes more
// steps, and a group whose records lead back to a version already made would
// chain for ever.
int32_t CountRecords(ByteView records, uint32_t groupStart, uint32_t groupEnd);
