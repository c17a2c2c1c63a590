// Record names: the relative path of a target file inside an installed folder.
// The installer joins a name to a candidate folder (and hands it to the system's
// path search), so a name that could leave that folder or name something other
// than a plain file there is refused before any file is touched.
//
// Names are read byte by byte in whatever ANSI code page the patch was made
// for. '\' and '/' both separate components, as they do for the system and for
// the path rules of the search. A double-byte character whose second byte is
// 0x5C (Shift-JIS) is therefore read as ending a component: names where that
// makes an empty or dot-ended component are refused; others pass, since every
// component of the byte-wise reading is checked and is never looser than the
// system's own reading. The one exception is '|' as the second byte of a
// Shift-JIS character: it is not refused, since a name with a real '|' cannot
// point anywhere else, it only fails to be created.
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
const char* RecordNameFault(const char* name);

inline bool IsSafeRecordName(const char* name) { return RecordNameFault(name) == nullptr; }

// True when a Shift-JIS character of `name` has 0x5C ('\') as its second byte,
// which the check above reads as a separator (for the writers' messages).
bool HasShiftJisSeparatorByte(const char* name);
