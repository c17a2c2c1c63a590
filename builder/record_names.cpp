#include "builder/record_names.h"

#include <cstdint>

#include "builder/ascii_case.h"
#include "patch/record_name.h"

namespace {

uint8_t FoldAscii(uint8_t byte) { return uint8_t(AsciiLower(char(byte))); }

uint8_t FoldWestern(uint8_t byte) {
  if (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7) return uint8_t(byte + 0x20);  // À..Þ
  switch (byte) {
    case 0x8A: return 0x9A;  // Š
    case 0x8C: return 0x9C;  // Œ
    case 0x8E: return 0x9E;  // Ž
    case 0x9F: return 0xFF;  // Ÿ
    default: return FoldAscii(byte);
  }
}

bool EqualFolded(const char* a, const char* b, uint8_t (*fold)(uint8_t)) {
  for (;; ++a, ++b) {
    const uint8_t x = fold(uint8_t(*a));
    if (x != fold(uint8_t(*b))) return false;
    if (x == 0) return true;
  }
}

bool EqualAscii(const char* a, const char* b) { return EqualIgnoringAsciiCase(a, b); }
bool EqualWestern(const char* a, const char* b) { return EqualFolded(a, b, FoldWestern); }

// A Shift-JIS character (one or two bytes, as `code`) in lower case.
uint16_t FoldShiftJis(uint16_t code) {
  if (code < 0x100) return FoldAscii(uint8_t(code));
  if (code >= 0x8260 && code <= 0x8279) return uint16_t(code + 0x21);  // Ａ..Ｚ
  if (code >= 0x839F && code <= 0x83B6) return uint16_t(code + 0x20);  // Α..Ω
  if (code >= 0x8440 && code <= 0x844E) return uint16_t(code + 0x30);  // А..Н
  if (code >= 0x844F && code <= 0x8460) return uint16_t(code + 0x31);  // О..Я (0x847F is no character)
  return code;
}

uint16_t NextShiftJis(const char*& text) {
  const uint8_t lead = uint8_t(*text++);
  if (!IsShiftJisLeadByte(lead) || *text == '\0') return lead;
  return uint16_t(lead << 8 | uint8_t(*text++));
}

bool EqualShiftJis(const char* a, const char* b) {
  for (;;) {
    const uint16_t x = FoldShiftJis(NextShiftJis(a));
    if (x != FoldShiftJis(NextShiftJis(b))) return false;
    if (x == 0) return true;
  }
}

}  // namespace

NamesEqual RecordNamesEqualFor(int codepage) {
  switch (codepage) {
    case 1252: return EqualWestern;
    case 932: return EqualShiftJis;
    default: return EqualAscii;
  }
}
