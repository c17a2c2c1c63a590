// File records of a patch: the records area after "DIF0" holds records one after
// another up to the end of the file. A record describes one way to produce one
// target file: its full new content, or a delta over one known old version.
//
// Record layout (little-endian): recordLength, oldSize, oldCrc, newCrc (4 bytes
// each), lastWriteTime (FILETIME, 8), flag bytes (each below 0x20, 5 bits each,
// lowest first), the name (first byte 0x20 or above, NUL-terminated), the body.
#pragma once

#include <stdint.h>

#include "patch/bytes.h"
#include "patch/fault.h"
#include "patch/record_name.h"

// Bits of a record's flags.
constexpr uint32_t FlagPlatformMask = 3;  // 1: 9x family only, 2: NT family only, 0/3: any
constexpr uint32_t FlagNoCreate = 4;      // a missing file is not created from full content
constexpr uint32_t FlagOptional = 8;      // a missing file is passed over silently

constexpr uint32_t PlatformAny = 0;
constexpr uint32_t Platform9x = 1;
constexpr uint32_t PlatformNt = 2;

constexpr uint32_t kRecordFixedSize = 24;  // the numbers ahead of the flag bytes

// One record, read and checked: every pointer and view lies inside the record.
struct FileRecord {
  uint32_t offset;        // of the record within the records area
  uint32_t recordLength;  // the next record begins this many bytes further on
  uint32_t oldSize;       // 0 marks a full-content record
  uint32_t oldCrc;
  uint32_t newCrc;
  uint32_t lastWriteTimeLow;
  uint32_t lastWriteTimeHigh;
  uint32_t flags;
  const char* name;       // NUL-terminated inside the record, at least one byte
  ByteView body;          // from the byte after the name's NUL to the record's end
};

// Decodes the flag bytes that start at offset 24 of `record` (a view of exactly
// one record). Returns the position of the name, or null when no byte of 0x20 or
// above follows inside the record. Bits beyond the 32 of `flags` are dropped.
const uint8_t* ReadRecordFlags(ByteView record, uint32_t& flags);

// Reads the record at `offset` of the records area. False at the end of the area
// and at a record that breaks the layout: a recordLength too small to hold the
// numbers, the flag bytes and the name with its NUL (0 included), or one that runs
// past the end of the area. Every walk stops there.
bool ReadRecord(ByteView records, uint32_t offset, FileRecord& record);

// ReadRecord that says why a record does not read: None when it does, else
// the fault of its layout (RecordCutShort at or past the end of the area).
PatchFaultKind ReadRecordLayout(ByteView records, uint32_t offset, FileRecord& record);

// Offset of the record after `record`.
inline uint32_t NextRecord(const FileRecord& record) {
  return record.offset + record.recordLength;
}

// The body of a record: from the byte after the name's NUL to its end.
inline ByteView RecordBody(const FileRecord& record) { return record.body; }

// Checks the whole records area before anything is touched: every record reads
// (see ReadRecord), the last one ends exactly at the end of the area, the area
// holds at least one record, every name is a safe relative path (see
// IsSafeRecordName in patch/record_name.h, read with `isLeadByte`, the lead
// bytes of the system's code page), and each delta body (oldSize not 0) has a complete
// DeltaHeader whose offsets lie inside the record, with its length stream ending
// where the positions begin (lengthsOffset <= positionsOffset). When it fails,
// `fault`, when given, names the first fault and its record's offset (an empty
// area: RecordCutShort at 0).
bool ValidateRecordsArea(ByteView records, LeadByteTest isLeadByte = nullptr,
                         PatchFault* fault = nullptr);
