#include "patch/record_name.h"

namespace {

bool IsSeparator(uint8_t c) { return c == '\\' || c == '/'; }

// Lead and trail byte ranges of Shift-JIS (code page 932).
bool IsShiftJisLead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool IsShiftJisTrail(uint8_t c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

uint8_t Upper(uint8_t c) { return c >= 'a' && c <= 'z' ? uint8_t(c - 'a' + 'A') : c; }

bool EqualNoCase(const uint8_t* text, uint32_t length, const char* word) {
  uint32_t i = 0;
  for (; i < length && word[i]; ++i)
    if (Upper(text[i]) != uint8_t(word[i])) return false;
  return i == length && word[i] == '\0';
}

// COM and LPT take a digit 1-9; the system also counts the superscripts 1, 2
// and 3 of code page 1252.
bool IsPortDigit(uint8_t c) { return (c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// The device names that the system finds in any folder, checked on the part of
// a component before its first dot, trailing spaces dropped ("nul .txt").
bool IsDeviceName(const uint8_t* component, uint32_t length) {
  uint32_t base = 0;
  while (base < length && component[base] != '.') ++base;
  while (base > 0 && component[base - 1] == ' ') --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices)
    if (EqualNoCase(component, base, device)) return true;
  return base == 4 && (EqualNoCase(component, 3, "COM") || EqualNoCase(component, 3, "LPT")) &&
         IsPortDigit(component[3]);
}

const char* ComponentFault(const uint8_t* component, uint32_t length) {
  if (length == 0) return "an empty path component";
  if (EqualNoCase(component, length, ".") || EqualNoCase(component, length, ".."))
    return "a '.' or '..' component";
  const uint8_t last = component[length - 1];
  if (last == '.' || last == ' ') return "a component that ends in a dot or a space";
  if (IsDeviceName(component, length)) return "a device name";
  return nullptr;
}

// Characters that never belong in a plain file name: control bytes, ':' (a
// drive or a stream) and the wildcard and reserved characters.
// `trail`: the byte is the second of a double-byte character.
const char* CharacterFault(uint8_t c, bool trail) {
  if (c < 0x20) return "a control byte";
  if (c == ':') return "':' (a drive letter or a stream)";
  if (c == '|' && trail) return nullptr;
  if (c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
    return "a wildcard or reserved character (* ? \" < > |)";
  return nullptr;
}

}  // namespace

bool HasShiftJisSeparatorByte(const char* text) {
  bool afterLead = false;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(text); *p; ++p) {
    const bool trail = afterLead && IsShiftJisTrail(*p);
    if (trail && *p == '\\') return true;
    afterLead = !trail && IsShiftJisLead(*p);
  }
  return false;
}

bool IsShiftJisLeadByte(unsigned char byte) { return IsShiftJisLead(byte); }

const char* RecordNameFault(const char* text, LeadByteTest isLeadByte) {
  if (!text || !*text) return "an empty name";
  const uint8_t* name = reinterpret_cast<const uint8_t*>(text);
  if (IsSeparator(name[0])) return "an absolute or network path";
  uint32_t componentStart = 0;
  bool afterLead = false;
  for (uint32_t i = 0;; ++i) {
    if (i > kRecordNameMaxLength) return "a name too long for a path";
    const uint8_t c = name[i];
    // Without a lead-byte test, Shift-JIS is assumed for the second byte '|'
    // only; 0x5C always separates.
    const bool trail = afterLead && c != '\0' && (isLeadByte || IsShiftJisTrail(c));
    afterLead = !trail && (isLeadByte ? isLeadByte(c) : IsShiftJisLead(c));
    const bool separator = IsSeparator(c) && !(trail && isLeadByte && c == '\\');
    if (c == '\0' || separator) {
      if (const char* fault = ComponentFault(name + componentStart, i - componentStart)) return fault;
      if (c == '\0') return nullptr;
      componentStart = i + 1;
      continue;
    }
    if (const char* fault = CharacterFault(c, trail)) return fault;
  }
}
