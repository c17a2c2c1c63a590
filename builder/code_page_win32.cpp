// Code page conversions through the Windows API, one character at a time so
// that the first character that does not convert is found (as iconv reports it).
#include <windows.h>

#include "builder/code_page.h"

struct CodePageConverter::State {
  UINT codepage;
  Direction direction;
};

namespace {

// Length of the UTF-8 sequence that `lead` starts, or 0 for a byte that cannot start one.
size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Where the Windows tables and iconv's (the Linux tool's) part ways, this
// converter does as iconv does, so that both tools accept the same texts and
// write the same bytes. Measured over the whole BMP for 932, 936, 949, 950 and
// 1250 to 1252.
struct Mapping {
  UINT codepage;
  wchar_t character;
  const char* bytes;
};
// What iconv writes where Windows has only a best fit, or other bytes: the
// JIS forms of a few signs in 932, four box-drawing signs in 950.
constexpr Mapping kIconvMappings[] = {
    {932, 0x00A2, "\x81\x91"}, {932, 0x00A3, "\x81\x92"}, {932, 0x00A5, "\x5C"},
    {932, 0x00AC, "\x81\xCA"}, {932, 0x2014, "\x81\x5C"}, {932, 0x2016, "\x81\x61"},
    {932, 0x203E, "\x7E"},      {932, 0x2212, "\x81\x7C"}, {932, 0x301C, "\x81\x60"},
    {950, 0x2550, "\xA2\xA4"}, {950, 0x255E, "\xA2\xA5"}, {950, 0x2561, "\xA2\xA7"},
    {950, 0x256A, "\xA2\xA6"},
};

bool IsC1Control(wchar_t character) { return character >= 0x80 && character <= 0x9F; }

// Characters that Windows writes and iconv refuses: C1 controls (Windows maps
// the undefined bytes of its tables to them), Windows' own single bytes A0 and
// FD-FF of 932, and the private use area in the Chinese and Korean code pages.
bool IconvRefuses(UINT codepage, wchar_t character) {
  if (IsC1Control(character)) return true;
  if (codepage == 932) return character >= 0xF8F0 && character <= 0xF8F3;
  const bool privateUse = character >= 0xE000 && character <= 0xF8FF;
  return privateUse && (codepage == 936 || codepage == 949 || codepage == 950);
}

// iconv's bytes for a character where they differ from the Windows table's.
const char* IconvMapping(UINT codepage, const std::wstring& wide) {
  if (wide.size() != 1) return nullptr;
  for (const Mapping& mapping : kIconvMappings)
    if (mapping.codepage == codepage && mapping.character == wide[0]) return mapping.bytes;
  return nullptr;
}

// Converts one character of `codepage` to UTF-16; false when it has none.
bool ToWide(UINT codepage, std::string_view character, std::wstring& wide) {
  wchar_t buffer[4];
  const int length = MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, character.data(),
                                         int(character.size()), buffer, 4);
  if (length <= 0) return false;
  if (codepage != CP_UTF8 && length == 1 && IsC1Control(buffer[0])) return false;  // as iconv
  wide.assign(buffer, size_t(length));
  return true;
}

// Converts UTF-16 to `codepage`; false when a character has no exact match there.
bool FromWide(UINT codepage, const std::wstring& wide, std::string& out) {
  if (const char* bytes = IconvMapping(codepage, wide)) {
    out += bytes;
    return true;
  }
  if (wide.size() == 1 && IconvRefuses(codepage, wide[0])) return false;
  char buffer[16];
  BOOL usedDefault = FALSE;
  const bool exact = codepage != CP_UTF8;
  const int length = WideCharToMultiByte(codepage, exact ? WC_NO_BEST_FIT_CHARS : 0, wide.data(),
                                         int(wide.size()), buffer, sizeof buffer, nullptr,
                                         exact ? &usedDefault : nullptr);
  if (length <= 0 || usedDefault) return false;
  out.append(buffer, size_t(length));
  return true;
}

// The length of the character of `codepage` at `at` in `text`.
size_t CharacterLength(UINT codepage, std::string_view text, size_t at) {
  const bool lead = IsDBCSLeadByteEx(codepage, BYTE(text[at]));
  return lead && at + 1 < text.size() ? 2 : 1;
}

}  // namespace

CodePageConverter::CodePageConverter(int codepage, Direction direction) {
  if (codepage <= 0 || !IsValidCodePage(UINT(codepage))) ThrowUnknownCodePage(codepage);
  state_.reset(new State{UINT(codepage), direction});
}

CodePageConverter::~CodePageConverter() = default;

std::optional<size_t> CodePageConverter::Convert(std::string_view text, size_t from, std::string& out) {
  const bool fromUtf8 = state_->direction == FromUtf8;
  const UINT source = fromUtf8 ? CP_UTF8 : state_->codepage;
  const UINT target = fromUtf8 ? state_->codepage : CP_UTF8;
  std::wstring wide;
  for (size_t at = from; at < text.size();) {
    const size_t length = fromUtf8 ? Utf8Length(BYTE(text[at])) : CharacterLength(source, text, at);
    if (length == 0 || at + length > text.size()) return at;
    if (!ToWide(source, text.substr(at, length), wide) || !FromWide(target, wide, out)) return at;
    at += length;
  }
  return std::nullopt;
}
