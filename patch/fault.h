// What a reader of patch bytes found wrong, and where, so that a tool can say
// why the installer refuses a patch; the installer itself only needs to know
// that it does.
#pragma once

#include <stdint.h>

enum class PatchFaultKind : uint8_t {
  None,
  // The header ("key:text\0" entries, then "DIF0"); the offset is the entry's.
  KeyDigitsRunToEnd,    // digits and nothing after them
  KeyWithoutColon,      // digits not followed by ':'
  KeyAboveLimit,        // a key above kTextKeyMax
  TextRunsToEnd,        // a text without its NUL
  NoMagic,              // no "DIF0" where the texts end
  NoRecords,            // nothing after "DIF0"
  // The records area; the offset is the record's within the area.
  RecordCutShort,       // fewer bytes left than a record's numbers
  RecordRunsPastEnd,    // a recordLength beyond the end of the area
  RecordTooSmall,       // a recordLength too small for the numbers
  NoName,               // no name byte after the flag bytes inside the record
  NameWithoutNul,       // the name runs to the record's end
  UnsafeName,           // a name that could reach outside the product's folders
  DeltaHeaderBroken,    // a delta body whose header does not fit it
};

struct PatchFault {
  PatchFaultKind kind = PatchFaultKind::None;
  uint32_t offset = 0;
};
