#include "builder/texts.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "builder/code_page.h"
#include "patch/text_keys.h"

namespace {

// The roles as the tool handles them, in key order.
const std::vector<TextRole> kRoles = [] {
  std::vector<TextRole> roles;
  for (const TextKeyRole& role : kTextKeyRoles)
    roles.push_back({int(role.key), role.name, role.args, role.isFormat});
  return roles;
}();

struct DefaultTexts {
  int key;
  const char* en;
  const char* ja;
};

// Every key the installer shows, except the note line (key 4), whose default
// is the empty text the installer starts with anyway.
const DefaultTexts kDefaults[] = {
    {5, "%s %s Update", "%s %s アップデート"},
    {6, "This will update %s from version %s to version %s.\n%s\nDo you want to continue?",
     "%s をバージョン %s からバージョン %s にアップデートします。\n%s\nよろしいですか？"},
    {7, "%s has been updated to version %s.", "%s をバージョン %s にアップデートしました。"},
    {8, "%s has been updated to version %s, but some files could not be updated.",
     "%s をバージョン %s にアップデートしましたが、一部のファイルを更新できませんでした。"},
    {10, "Checking for running instances of %s...", "起動中の %s を確認しています…"},
    {11, "Checking the installed %s...", "インストールされている %s を確認しています…"},
    {12, "Updating...", "アップデートしています…"},
    {13, "Updating %s...", "%sを更新中です"},
    {14, "The update has ended.", "アップデートが終了しました。"},
    {15, "Closing %s...", "%s を終了しています…"},
    {20, "Select the folder where %s is installed.", "%s がインストールされているフォルダを選択してください。"},
    {21, "%s is running.\nClose it, then press OK.", "%s が起動しています。\n終了してから OK を押してください。"},
    {22, "%s could not be closed.", "%s を終了できませんでした。"},
    {23, "File not found (%s)", "ファイルが見つかりません(%s)"},
    {25, "The installed file is of another version and cannot be updated:\n%s",
     "インストールされているファイルのバージョンが異なるため、更新できません。\n%s"},
    {26, "The file cannot be opened:\n%s\n(error %lu)", "ファイルを開けません。\n%s\n(エラー %lu)"},
    {27, "The file cannot be read:\n%s\n(error %lu)", "ファイルを読み込めません。\n%s\n(エラー %lu)"},
    {28, "The temporary file cannot be created:\n%s", "一時ファイルを作成できません。\n%s"},
    {29, "Updating the file failed:\n%s", "ファイルの更新に失敗しました。\n%s"},
    {30, "The new file could not be put in place. Please rename\n%s\nto\n%s",
     "新しいファイルに置き換えられませんでした。\n%s\nの名前を\n%s\nに変更してください。"},
    {31, "%s was not updated to version %s.", "%s をバージョン %s にアップデートできませんでした。"},
    {32, "The update data is damaged:\n%s", "アップデートデータが壊れています。\n%s"},
    {33, "Searching the drives for %s may take a long time.\nDo you want to continue?",
     "ドライブ内の %s の検索には時間がかかることがあります。\n続行しますか？"},
    {34, "%s was found in\n%s\nbut it is of another version. Do you want to search on?",
     "%s が次のフォルダに見つかりましたが、バージョンが異なります。\n%s\n検索を続けますか？"},
    {35, "%s was found in\n%s\nDo you want to update the product in this folder?",
     "%s が次のフォルダに見つかりました。\n%s\nこのフォルダの製品をアップデートしますか？"},
    {36, "All files are already up to date.", "すべてのファイルはすでに最新です。"},
    {37, "Restart Windows to complete the update of %s to version %s.",
     "%s のバージョン %s へのアップデートを完了するには、Windows を再起動してください。"},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One conversion as the installer's formatter reads it:
// %[-#0]*[width][.precision][l|h]type. `type` is 0 when the text ends first.
struct Conversion {
  std::string_view written;  // from '%' to the type, inclusive
  char type;
};

Conversion ReadConversion(std::string_view text, size_t& p) {
  const size_t start = p++;
  while (p < text.size() && (text[p] == '-' || text[p] == '#' || text[p] == '0')) ++p;
  while (p < text.size() && IsDigit(text[p])) ++p;
  if (p < text.size() && text[p] == '.') {
    ++p;
    while (p < text.size() && IsDigit(text[p])) ++p;
  }
  if (p < text.size() && (text[p] == 'l' || text[p] == 'h')) ++p;
  if (p >= text.size()) return {text.substr(start), 0};
  ++p;
  return {text.substr(start, p - start), text[p - 1]};
}

bool TakesText(char type) { return type == 's'; }
bool TakesNumber(char type) {
  return type == 'c' || type == 'd' || type == 'i' || type == 'u' || type == 'x' || type == 'X';
}

std::string Quote(std::string_view text) { return "'" + std::string(text) + "'"; }

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Role names near `name`: a few typing slips away, or one inside the other.
std::string CloseRoleNames(std::string_view name) {
  std::vector<std::pair<size_t, std::string_view>> close;
  for (const TextRole& role : kRoles) {
    const size_t distance = EditDistance(name, role.name);
    const bool contains = name.size() >= 3 && (role.name.find(name) != std::string_view::npos ||
                                                name.find(role.name) != std::string_view::npos);
    if (distance <= 2 + name.size() / 8 || contains) close.push_back({contains ? 0 : distance, role.name});
  }
  std::stable_sort(close.begin(), close.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string list;
  for (const auto& [distance, roleName] : close) list += (list.empty() ? "" : ", ") + std::string(roleName);
  return list;
}

std::string UnknownRoleMessage(std::string_view name) {
  const std::string close = CloseRoleNames(name);
  if (!close.empty()) return "unknown text role " + Quote(name) + "; did you mean: " + close + "?";
  std::string all;
  for (const TextRole& role : kRoles) all += (all.empty() ? "" : ", ") + std::string(role.name);
  return "unknown text role " + Quote(name) + "; the roles are: " + all + " (or a key number 0-49)";
}

// Steps over one UTF-8 character at `p`; returns its code point, or -1 when
// the bytes there are not valid UTF-8 (overlong forms and surrogates included).
long DecodeUtf8(std::string_view text, size_t& p) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(p);
  int extra = 0;
  long value = 0, minimum = 0;
  if (lead < 0x80) return ++p, lead;
  if ((lead & 0xE0) == 0xC0) extra = 1, value = lead & 0x1F, minimum = 0x80;
  else if ((lead & 0xF0) == 0xE0) extra = 2, value = lead & 0x0F, minimum = 0x800;
  else if ((lead & 0xF8) == 0xF0) extra = 3, value = lead & 0x07, minimum = 0x10000;
  else return -1;
  if (text.size() - p <= size_t(extra)) return -1;
  for (int i = 1; i <= extra; ++i) {
    if ((byte(p + i) & 0xC0) != 0x80) return -1;
    value = value << 6 | (byte(p + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
  p += size_t(extra) + 1;
  return value;
}

std::string DescribeCharacter(long codePoint, std::string_view utf8) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04lX", codePoint);
  if (codePoint < 0x20 || codePoint == 0x7F) return name;
  return std::string(name) + " '" + std::string(utf8) + "'";
}

// Turns CR LF and lone CR into LF, and refuses NUL and invalid UTF-8. Fills
// `starts` with the byte offset of every character of the result.
std::string NormalizeText(std::string_view utf8, std::vector<size_t>& starts) {
  std::string text;
  for (size_t p = 0; p < utf8.size();) {
    const size_t at = p;
    const long codePoint = DecodeUtf8(utf8, p);
    if (codePoint < 0)
      throw std::runtime_error("invalid UTF-8 at byte " + std::to_string(at + 1));
    if (codePoint == 0)
      throw std::runtime_error("NUL at character " + std::to_string(starts.size() + 1) +
                               ": the patch ends a text there");
    starts.push_back(text.size());
    if (codePoint == '\r') {
      text += '\n';
      if (p < utf8.size() && utf8[p] == '\n') ++p;
      continue;
    }
    text.append(utf8.substr(at, p - at));
  }
  return text;
}


std::string TextLabel(const TextRole& role) {
  return "text " + Quote(role.name) + " (key " + std::to_string(role.key) + ")";
}

}  // namespace

const std::vector<TextRole>& TextRoles() { return kRoles; }

const TextRole* FindTextRole(int key) {
  for (const TextRole& role : kRoles)
    if (role.key == key) return &role;
  return nullptr;
}

std::optional<int> TextKeyFromName(std::string_view roleOrKey) {
  if (!roleOrKey.empty() && std::all_of(roleOrKey.begin(), roleOrKey.end(), IsDigit)) {
    int key = 0;
    for (char c : roleOrKey) key = std::min(key * 10 + (c - '0'), kTextKeyMax + 1);  // no overflow
    if (key <= kTextKeyMax) return key;
    return std::nullopt;
  }
  for (const TextRole& role : kRoles)
    if (role.name == roleOrKey) return role.key;
  return std::nullopt;
}

std::string CheckTextConversions(int key, std::string_view text) {
  const TextRole* role = FindTextRole(key);
  if (!role) return "key " + std::to_string(key) + " has no role: the installer never reads it";
  if (!role->isFormat) return "";
  size_t argument = 0;
  for (size_t p = 0; p < text.size();) {
    if (text[p] != '%') {
      ++p;
      continue;
    }
    if (p + 1 < text.size() && text[p + 1] == '%') {
      p += 2;
      continue;
    }
    const Conversion conversion = ReadConversion(text, p);
    const std::string written(conversion.written);
    if (conversion.type == 0) return "unterminated conversion " + Quote(written) + " at the end of the text";
    if (conversion.type == 'S' || conversion.type == 'C')
      return written + " expects a wide text or character, which the installer never passes; use %" +
             std::string(1, char(conversion.type + ('a' - 'A')));
    if (!TakesText(conversion.type) && !TakesNumber(conversion.type))
      return "unknown conversion " + Quote(written) + " (use %% for a percent sign)";
    if (argument >= role->args.size()) {
      const size_t passed = role->args.size();
      return "more conversions than arguments: " + written + " is conversion " + std::to_string(argument + 1) +
             ", the installer passes " + (passed ? std::to_string(passed) : std::string("none"));
    }
    const char kind = role->args[argument++];
    if (kind == 's' && TakesNumber(conversion.type))
      return written + " where a text is passed (argument " + std::to_string(argument) + ")";
    if (kind == 'u' && TakesText(conversion.type))
      return written + " where a number is passed (argument " + std::to_string(argument) + ")";
  }
  return "";
}

std::string ConvertToCodePage(std::string_view utf8, int codepage) {
  CodePageConverter converter(codepage, CodePageConverter::FromUtf8);
  std::vector<size_t> starts;
  const std::string text = NormalizeText(utf8, starts);
  std::string out;
  const std::optional<size_t> stop = converter.Convert(text, 0, out);
  if (!stop) return out;
  const size_t index = size_t(std::upper_bound(starts.begin(), starts.end(), *stop) - starts.begin()) - 1;
  size_t end = starts[index];
  const long codePoint = DecodeUtf8(text, end);
  throw std::runtime_error(DescribeCharacter(codePoint, std::string_view(text).substr(starts[index], end - starts[index])) +
                           " at character " + std::to_string(index + 1) + " cannot be written in code page " +
                           std::to_string(codepage));
}

std::optional<std::string_view> DefaultText(std::string_view language, int key) {
  if (language != "en" && language != "ja") return std::nullopt;
  for (const DefaultTexts& entry : kDefaults)
    if (entry.key == key) return std::string_view(language == "en" ? entry.en : entry.ja);
  return std::nullopt;
}

std::vector<HeaderEntry> BuildHeaderEntries(const TextRequest& request) {
  if (request.language != "en" && request.language != "ja")
    throw std::runtime_error("unknown language " + Quote(request.language) + " (\"en\" or \"ja\")");
  const int codepage = request.codepage ? request.codepage : request.language == "en" ? 1252 : 932;
  ConvertToCodePage("", codepage);  // an unknown code page is named before any text

  struct Given {
    std::string as;  // how the author named it
    std::string text;
  };
  std::map<int, Given> given;
  for (const auto& [name, text] : request.texts) {
    const std::optional<int> key = TextKeyFromName(name);
    if (!key) {
      const bool digits = !name.empty() && std::all_of(name.begin(), name.end(), IsDigit);
      throw std::runtime_error(digits ? "text key " + name + " is not a key from 0 to 49" : UnknownRoleMessage(name));
    }
    const TextRole* role = FindTextRole(*key);
    if (!role)
      throw std::runtime_error("text key " + std::to_string(*key) + " has no role: the installer never reads it");
    const auto [previous, inserted] = given.emplace(*key, Given{name, text});
    if (!inserted)
      throw std::runtime_error(TextLabel(*role) + " is given twice (as " + Quote(previous->second.as) + " and " +
                               Quote(name) + ")");
  }
  const std::string* fields[] = {&request.productName, &request.fromVersion, &request.toVersion};
  for (int key = 0; key < 3; ++key)
    if (!given.count(key) && !fields[key]->empty()) given.emplace(key, Given{"", *fields[key]});

  std::vector<HeaderEntry> entries;
  for (const TextRole& role : kRoles) {
    std::string text;
    if (auto found = given.find(role.key); found != given.end()) text = found->second.text;
    else if (auto fallback = DefaultText(request.language, role.key)) text = std::string(*fallback);
    else continue;
    if (std::string reason = CheckTextConversions(role.key, text); !reason.empty())
      throw std::runtime_error(TextLabel(role) + ": " + reason);
    std::string converted;
    try {
      converted = ConvertToCodePage(text, codepage);
    } catch (const std::runtime_error& error) {
      throw std::runtime_error(TextLabel(role) + ": " + error.what());
    }
    // The installer formats the converted bytes: they must read the same.
    if (std::string reason = CheckTextConversions(role.key, converted); !reason.empty())
      throw std::runtime_error(TextLabel(role) + ": in code page " + std::to_string(codepage) + ", " + reason);
    entries.push_back(HeaderEntry{std::to_string(role.key), converted});
  }
  return entries;
}
