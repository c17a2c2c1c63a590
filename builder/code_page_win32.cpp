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

// Converts one character of `codepage` to UTF-16; false when it has none.
bool ToWide(UINT codepage, std::string_view character, std::wstring& wide) {
  wchar_t buffer[4];
  const int length = MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, character.data(),
                                         int(character.size()), buffer, 4);
  if (length <= 0) return false;
  wide.assign(buffer, size_t(length));
  return true;
}

// Converts UTF-16 to `codepage`; false when a character has no exact match there.
bool FromWide(UINT codepage, const std::wstring& wide, std::string& out) {
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
