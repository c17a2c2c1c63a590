#include "builder/ascii_case.h"

std::string AsciiLower(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}
