// The texts of a patch by role: which key each role is, which arguments the
// installer passes to it, built-in English and Japanese defaults, and the
// checks that keep an author's text from showing garbage (a conversion that
// does not fit its argument) or from being unwritable in the patch's code page.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "builder/format/patch_writer.h"

struct TextRole {
  int key;
  std::string_view name;  // snake_case, as written in project files
  std::string_view args;  // one char per argument: 's' a text, 'u' a 32-bit number
  bool isFormat;          // the installer formats it (caption, box, progress line)
};

// Every key 0..49 that has a role, in key order. Keys 16-19, 38 and 39 have
// none; key 24 is accepted and never shown.
const std::vector<TextRole>& TextRoles();

// The role of `key`, or null when the key has none (or is outside 0..49).
const TextRole* FindTextRole(int key);

// "caption" or "5" (decimal 0..49) -> the key. Unknown names give nothing.
std::optional<int> TextKeyFromName(std::string_view roleOrKey);

// "" when the conversions of `text` fit the arguments the installer passes to
// `key`, else the reason. Texts that are not formatted (names, versions,
// registry paths, window classes) pass whatever they hold.
std::string CheckTextConversions(int key, std::string_view text);

// `utf8` in Windows code page `codepage` (932 Shift-JIS, 1252 Western, ...),
// line breaks as LF. Throws std::runtime_error naming the first character that
// cannot be written there, a NUL, invalid UTF-8, or an unknown code page.
std::string ConvertToCodePage(std::string_view utf8, int codepage);

struct TextRequest {
  std::string language = "en";  // "en" or "ja": which built-in default texts fill the keys not given
  int codepage = 0;             // 0: 1252 for "en", 932 for "ja"
  std::string productName, fromVersion, toVersion;  // keys 0, 1, 2 unless texts override them
  std::vector<std::pair<std::string, std::string>> texts;  // role name or key number -> UTF-8 text, in file order
};

// The header entries of a patch, in key order: the product and version texts,
// the texts given, and the defaults of `language` for every other shown key.
// Keys 3, 9 and 40-49 are written only when given. Throws std::runtime_error
// naming the role, the key and the fault, e.g.
// "text 'caption' (key 5): %d where a text is passed (argument 1)".
std::vector<HeaderEntry> BuildHeaderEntries(const TextRequest& request);

// The built-in default of `key` in `language` ("en" or "ja"), UTF-8; nothing
// for keys without a default.
std::optional<std::string_view> DefaultText(std::string_view language, int key);
