#include "patch/header.h"

#include "patch/bytes.h"
#include "patch/format.h"

namespace {

const char kEmptyText[] = "";
constexpr uint32_t kKeyLimit = kStringKeyCount;  // keys run from 0 to 49

bool IsDigit(uint8_t byte) { return byte >= '0' && byte <= '9'; }

bool HasEmptyDefault(int key) {
  return (key <= 2) || (key >= 4 && key <= 8) || (key >= 10 && key <= 15) ||
         (key >= 20 && key <= 35);
}

// Reads the key's digits. Values above the limit saturate, so a long run of
// digits cannot wrap around into a valid key.
uint32_t ReadKey(ByteCursor& cursor) {
  uint32_t value = 0;
  uint8_t byte = 0;
  while (cursor.PeekU8(byte) && IsDigit(byte)) {
    value = value * 10 + (byte - '0');
    if (value > kKeyLimit) value = kKeyLimit;
    cursor.Skip(1);
  }
  return value;
}

}  // namespace

void SetDefaultStrings(StringTable& table) {
  for (int key = 0; key < kStringKeyCount; ++key)
    table.text[key] = HasEmptyDefault(key) ? kEmptyText : nullptr;
}

namespace {

const uint8_t* Refuse(PatchFault* fault, PatchFaultKind kind, uint32_t offset) {
  if (fault) *fault = PatchFault{kind, offset};
  return nullptr;
}

bool IsMagicAt(const ByteCursor& cursor) {
  if (cursor.Remaining() < sizeof kPatchMagic) return false;
  for (uint32_t i = 0; i < sizeof kPatchMagic; ++i)
    if (cursor.Here()[i] != kPatchMagic[i]) return false;
  return true;
}

}  // namespace

const uint8_t* ParsePatchHeader(const uint8_t* view, uint32_t size, StringTable& table,
                                PatchFault* fault, const HeaderEntryVisitor* visitor) {
  ByteCursor cursor(ByteView{view, size});
  uint8_t byte = 0;
  while (cursor.PeekU8(byte) && IsDigit(byte)) {
    const uint32_t entry = cursor.position;
    const uint32_t key = ReadKey(cursor);
    uint8_t separator = 0;
    if (!cursor.ReadU8(separator)) return Refuse(fault, PatchFaultKind::KeyDigitsRunToEnd, entry);
    if (separator != ':') return Refuse(fault, PatchFaultKind::KeyWithoutColon, entry);
    if (key >= kKeyLimit) return Refuse(fault, PatchFaultKind::KeyAboveLimit, entry);
    const char* text = nullptr;
    uint32_t length = 0;
    if (!cursor.ReadCString(text, length)) return Refuse(fault, PatchFaultKind::TextRunsToEnd, entry);
    table.text[key] = text;
    if (visitor) visitor->visit(visitor->context, entry, int(key), text, length);
  }
  // The magic and at least one record byte must follow.
  if (!IsMagicAt(cursor)) return Refuse(fault, PatchFaultKind::NoMagic, cursor.position);
  if (cursor.Remaining() == sizeof kPatchMagic)
    return Refuse(fault, PatchFaultKind::NoRecords, cursor.position);
  return cursor.Here() + sizeof kPatchMagic;
}

const char* KeyText(const StringTable& table, int key) {
  if (key < 0 || key >= kStringKeyCount || !table.text[key]) return kEmptyText;
  return table.text[key];
}
