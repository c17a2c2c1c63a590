#include "launcher/payload.h"

namespace {

// Appends to a NUL-terminated text in a buffer of kDriverCommandLineSize bytes.
bool Append(char* text, uint32_t& length, const char* part, uint32_t partLength) {
  if (partLength >= kDriverCommandLineSize - length) return false;
  for (uint32_t i = 0; i < partLength; ++i) text[length++] = part[i];
  text[length] = 0;
  return true;
}

}  // namespace

PayloadStatus ReadPayloadEntry(ByteCursor& cursor, PayloadEntry& entry) {
  if (cursor.AtEnd()) return PayloadEnd;
  const uint32_t start = cursor.position;
  uint32_t length = 0;
  if (!cursor.ReadCString(entry.name, entry.nameLength) || !cursor.ReadU32(length) ||
      !cursor.ReadBytes(length, entry.data)) {
    cursor.position = start;
    return PayloadDamaged;
  }
  return PayloadEntryRead;
}

bool IsDotName(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

bool IsSafeEntryName(const PayloadEntry& entry) {
  const char* name = entry.name;
  if (entry.nameLength == 0) return entry.data.size == 0;
  if (IsDotName(name)) return false;
  for (uint32_t i = 0; i < entry.nameLength; ++i)
    if (name[i] == '\\' || name[i] == '/' || name[i] == ':') return false;
  return true;
}

bool CheckPayload(ByteView payload, bool silent, char* commandLine) {
  uint32_t length = 0;
  commandLine[0] = 0;
  bool silentAdded = !silent;
  ByteCursor cursor(payload);
  PayloadEntry entry;
  for (;;) {
    const PayloadStatus status = ReadPayloadEntry(cursor, entry);
    if (status == PayloadEnd) return true;
    if (status == PayloadDamaged || !IsSafeEntryName(entry)) return false;
    if (length > 0 && !Append(commandLine, length, " ", 1)) return false;
    if (!Append(commandLine, length, entry.name, entry.nameLength)) return false;
    if (!silentAdded) {
      if (!Append(commandLine, length, " /s", 3)) return false;
      silentAdded = true;
    }
  }
}
