// The one formatter for captions, progress texts and message boxes: printf-like
// with the conversions of the Win32 formatter (%s %c %d %i %u %x %X %%, flags,
// width, precision, l/h prefixes). Texts come from the patch, so it never reads
// more arguments than the caller passes and never writes past its buffer.
#pragma once

#include <stdint.h>

// One argument: a text or a 32-bit number. The kind travels with the value, so
// a conversion that does not fit its argument cannot read a bad pointer.
struct FormatArg {
  const char* text;
  uint32_t number;
  bool isText;

  FormatArg() : text(nullptr), number(0), isText(false) {}
  FormatArg(const char* t) : text(t), number(0), isText(true) {}
  FormatArg(char* t) : text(t), number(0), isText(true) {}
  FormatArg(int n) : text(nullptr), number(uint32_t(n)), isText(false) {}
  FormatArg(unsigned n) : text(nullptr), number(uint32_t(n)), isText(false) {}
  FormatArg(long n) : text(nullptr), number(uint32_t(n)), isText(false) {}
  FormatArg(unsigned long n) : text(nullptr), number(uint32_t(n)), isText(false) {}
};

// Formats into `buffer` of `bufferSize` bytes (NUL included; the result is cut
// to fit). Returns the length written, without the NUL.
int FormatText(char* buffer, int bufferSize, const char* format, const FormatArg* args,
               int argCount);
