// Record names: the relative path of a target file inside an installed folder.
// The installer joins a name to a candidate folder (and hands it to the system's
// path search), so a name that could leave that folder or name something other
// than a plain file there is refused before any file is touched.
//
// Names are read in the ANSI code page that the patch was made for. '\' and
// '/' both separate components, as they do for the system and for the path
// rules of the search. Where a lead-byte test is given (the system's own, in the
// installer), the second byte of a double-byte character is part of that
// character, as the system reads it: "表" (95 5C in Shift-JIS) ends no
// component, nor is a second byte '|' refused. Without one every 0x5C byte
// separates, which is never looser than any code page's reading.
#pragma once

#include <stdint.h>

// A name must fit with the shortest folder ("C:\"), the temporary suffix
// ".~up" and the terminator into one MAX_PATH (260) buffer.
constexpr uint32_t kRecordNameMaxLength = 260 - 1 - 3 - 4;

// Why `name` is refused, as a short English phrase, or null when it is safe:
// empty, longer than kRecordNameMaxLength, a control byte, ':' (drive letters
// and streams), a wildcard or reserved character (* ? " < > |), an absolute or
// network path ('\' or '/' first: "\x", "\\server\share", "\\?\", "\\.\"), an
// empty component, "." or "..", a component that ends in a dot or a space, or a
// device name in any component (CON PRN AUX NUL COM1-9 LPT1-9 CONIN$ CONOUT$
// CLOCK$, any case, also with an extension such as "nul.txt").
// `isLeadByte`: the double-byte lead-byte test of the code page, or null.
typedef bool (*LeadByteTest)(unsigned char byte);
const char* RecordNameFault(const char* name, LeadByteTest isLeadByte = nullptr);

inline bool IsSafeRecordName(const char* name, LeadByteTest isLeadByte = nullptr) {
  return RecordNameFault(name, isLeadByte) == nullptr;
}

// The lead bytes of Shift-JIS (code page 932).
bool IsShiftJisLeadByte(unsigned char byte);

// True when a Shift-JIS character of `name` has 0x5C ('\') as its second byte,
// which the check above reads as a separator without a lead-byte test (for
// the writers' messages).
bool HasShiftJisSeparatorByte(const char* name);
