#include "ui/format.h"

namespace {

// Output that never runs past its buffer; one byte stays for the NUL.
struct Output {
  char* buffer;
  int capacity;  // bytes usable for text
  int length;

  void Put(char c) {
    if (length < capacity) buffer[length++] = c;
  }
  void PutRepeated(char c, int count) {
    for (int i = 0; i < count; ++i) Put(c);
  }
  void PutRange(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) Put(*p);
  }
};

// One parsed conversion: %[-#0][width][.precision][l|h]type
struct Conversion {
  bool leftAlign;
  bool alternate;
  bool zeroPad;
  int width;
  int precision;  // -1: none
  bool shortInt;
  char type;
};

constexpr int kFieldLimit = 4096;  // wider fields could not fit any buffer anyway

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int ReadNumber(const char*& p) {
  int value = 0;
  while (IsDigit(*p)) {
    value = value * 10 + (*p - '0');
    if (value > kFieldLimit) value = kFieldLimit;
    ++p;
  }
  return value;
}

// Parses the conversion after its '%'; `p` ends on the byte after the type.
// Returns false when the text ends before a type character.
bool ParseConversion(const char*& p, Conversion& c) {
  c = Conversion{false, false, false, 0, -1, false, 0};
  for (;; ++p) {
    if (*p == '-') c.leftAlign = true;
    else if (*p == '#') c.alternate = true;
    else if (*p == '0') c.zeroPad = true;
    else break;
  }
  c.width = ReadNumber(p);
  if (*p == '.') {
    ++p;
    c.precision = ReadNumber(p);
  }
  if (*p == 'l') ++p;
  else if (*p == 'h') {
    c.shortInt = true;
    ++p;
  }
  if (!*p) return false;
  c.type = *p++;
  return true;
}

bool IsKnownType(char type) {
  switch (type) {
    case 's': case 'c': case 'd': case 'i': case 'u': case 'x': case 'X':
      return true;
    default:
      return false;
  }
}

int TextLength(const char* text, int limit) {
  int length = 0;
  while ((limit < 0 || length < limit) && text[length]) ++length;
  return length;
}

void PutPadded(Output& out, const Conversion& c, const char* text, int length) {
  const int padding = c.width > length ? c.width - length : 0;
  if (!c.leftAlign) out.PutRepeated(' ', padding);
  out.PutRange(text, text + length);
  if (c.leftAlign) out.PutRepeated(' ', padding);
}

void PutText(Output& out, const Conversion& c, const char* text) {
  if (!text) text = "";  // an absent text reads as the empty text
  PutPadded(out, c, text, TextLength(text, c.precision));
}

void PutNumber(Output& out, const Conversion& c, uint32_t value) {
  const bool isSigned = c.type == 'd' || c.type == 'i';
  const bool isHex = c.type == 'x' || c.type == 'X';
  if (c.shortInt) value = isSigned ? uint32_t(int32_t(int16_t(value))) : (value & 0xFFFF);
  bool negative = false;
  if (isSigned && int32_t(value) < 0) {
    negative = true;
    value = 0u - value;
  }
  const char* digits = c.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  const uint32_t base = isHex ? 16 : 10;
  char reversed[16];
  int count = 0;
  do {
    reversed[count++] = digits[value % base];
    value /= base;
  } while (value);

  const int precision = c.precision > kFieldLimit ? kFieldLimit : c.precision;
  const int zeros = precision > count ? precision - count : 0;
  const char* prefix = negative ? "-" : (isHex && c.alternate ? (c.type == 'X' ? "0X" : "0x") : "");
  const int prefixLength = TextLength(prefix, -1);
  const int bodyLength = prefixLength + zeros + count;
  int padding = c.width > bodyLength ? c.width - bodyLength : 0;
  const bool padWithZeros = c.zeroPad && !c.leftAlign && c.precision < 0;

  if (!c.leftAlign && !padWithZeros) out.PutRepeated(' ', padding);
  out.PutRange(prefix, prefix + prefixLength);
  if (padWithZeros) out.PutRepeated('0', padding);
  out.PutRepeated('0', zeros);
  while (count) out.Put(reversed[--count]);
  if (c.leftAlign) out.PutRepeated(' ', padding);
}

void PutCharacter(Output& out, const Conversion& c, uint32_t value) {
  const char character = char(value & 0xFF);
  PutPadded(out, c, &character, character ? 1 : 0);
}

// Texts and numbers each keep their own form when a conversion asks for the
// other kind: a number under %s shows as decimal, a text under %d or %c shows
// as the text. Nothing is ever read through a number.
void PutArgument(Output& out, const Conversion& c, const FormatArg& arg) {
  if (arg.isText) {
    PutText(out, c, arg.text);
  } else if (c.type == 's') {
    Conversion decimal = c;
    decimal.type = 'u';
    decimal.precision = -1;
    PutNumber(out, decimal, arg.number);
  } else if (c.type == 'c') {
    PutCharacter(out, c, arg.number);
  } else {
    PutNumber(out, c, arg.number);
  }
}

}  // namespace

int FormatText(char* buffer, int bufferSize, const char* format, const FormatArg* args,
               int argCount) {
  if (!buffer || bufferSize <= 0) return 0;
  Output out{buffer, bufferSize - 1, 0};
  int nextArg = 0;
  const char* p = format ? format : "";
  while (*p) {
    if (*p != '%') {
      out.Put(*p++);
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out.Put('%');
      ++p;
      continue;
    }
    Conversion conversion;
    const bool complete = ParseConversion(p, conversion);
    // Unknown conversions, and conversions whose argument was not passed, are
    // shown as they are written.
    if (!complete || !IsKnownType(conversion.type) || nextArg >= argCount || !args) {
      out.PutRange(start, p);
      continue;
    }
    PutArgument(out, conversion, args[nextArg++]);
  }
  buffer[out.length] = 0;
  return out.length;
}
