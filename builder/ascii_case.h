// Names that the system compares without regard to case (file names, payload
// entries), as the tool compares them: only the ASCII letters fold, every
// other byte stands for itself.
#pragma once

#include <string>
#include <string_view>

// `c` turned into a-z when it is one of A-Z.
inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// `text` with A-Z turned into a-z.
std::string AsciiLower(std::string text);

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);
