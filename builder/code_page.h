// Conversions between UTF-8 and Windows code pages (932 Shift-JIS, 1252
// Western, ...) for patch texts and record names: through iconv on Linux
// (code_page_posix.cpp), through the Windows API on Windows (code_page_win32.cpp).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "patch/record_name.h"

// The double-byte lead-byte test of `codepage` (932, 936, 949, 950), or null
// for single-byte code pages (and 0: bytes as they are).
LeadByteTest LeadByteTestFor(int codepage);

class CodePageConverter {
 public:
  enum Direction { FromUtf8, ToUtf8 };

  // Throws std::runtime_error "unknown code page N" when the system does not know it.
  CodePageConverter(int codepage, Direction direction);
  ~CodePageConverter();
  CodePageConverter(const CodePageConverter&) = delete;
  CodePageConverter& operator=(const CodePageConverter&) = delete;

  // Converts `text` from offset `from` on, appending to `out`. Returns the
  // offset of the first byte that does not convert, or nothing when all did;
  // after a stop the converter starts afresh.
  std::optional<size_t> Convert(std::string_view text, size_t from, std::string& out);

 private:
  struct State;  // the platform's converter
  std::unique_ptr<State> state_;
};

// Throws the converter's error for an unknown code page.
[[noreturn]] void ThrowUnknownCodePage(int codepage);
