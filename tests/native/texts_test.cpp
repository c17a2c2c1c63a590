// Patch texts by role: the role table, conversion checks against the
// arguments the installer passes, code page conversion, and the header entries
// built from an author's texts and the built-in defaults.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/format/patch_writer.h"
#include "builder/pack_inspect.h"
#include "builder/texts.h"
#include "patch/header.h"
#include "ui/format.h"

namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + part.size())) ++count;
  return count;
}

// Formats `text` the way the installer does, with arguments of the kinds the
// role lists.
std::string FormatLikeInstaller(const TextRole& role, const std::string& text) {
  std::vector<FormatArg> args;
  for (char kind : role.args) args.push_back(kind == 's' ? FormatArg("ARG") : FormatArg(1234u));
  char buffer[2048];
  FormatText(buffer, sizeof buffer, text.c_str(), args.data(), int(args.size()));
  return buffer;
}

std::string ThrownBy(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(TextRoles, CoverEveryKeyWithARoleOnce) {
  const std::set<int> withoutRole = {16, 17, 18, 19, 38, 39};
  std::set<int> keys;
  std::set<std::string_view> names;
  for (const TextRole& role : TextRoles()) {
    SCOPED_TRACE(role.name);
    EXPECT_TRUE(keys.insert(role.key).second);
    EXPECT_TRUE(names.insert(role.name).second);
    EXPECT_EQ(role.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string_view::npos);
    EXPECT_EQ(role.args.find_first_not_of("su"), std::string_view::npos);
    EXPECT_EQ(TextKeyFromName(role.name), role.key);
    EXPECT_EQ(TextKeyFromName(std::to_string(role.key)), role.key);
    EXPECT_EQ(FindTextRole(role.key), &role);
  }
  for (int key = 0; key <= 49; ++key) EXPECT_EQ(keys.count(key) == 0, withoutRole.count(key) == 1) << key;
}

TEST(TextRoles, ArgumentsFollowTheInstallersCalls) {
  const struct {
    const char* name;
    int key;
    const char* args;
  } cases[] = {
      {"product_name", 0, ""}, {"caption", 5, "ss"},       {"confirm", 6, "ssss"},
      {"updating_file", 13, "s"}, {"cannot_open", 26, "su"}, {"cannot_map", 27, "su"},
      {"rename_failed", 30, "ss"}, {"all_up_to_date", 36, ""}, {"app5_name", 49, ""},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(TextKeyFromName(c.name), c.key) << c.name;
    EXPECT_EQ(FindTextRole(c.key)->args, c.args) << c.name;
  }
  for (const char* bad : {"", "50", "123", "99999999999999999999", "-1", "Caption", "caption ", "5a", "x"})
    EXPECT_FALSE(TextKeyFromName(bad)) << bad;
  EXPECT_EQ(TextKeyFromName("05"), 5);
  EXPECT_EQ(TextKeyFromName("007"), 7);
  EXPECT_EQ(FindTextRole(17), nullptr);
}

struct ConversionCase {
  int key;
  const char* text;
  const char* fault;  // "" when the text is fine, else a part of the reason
};

TEST(CheckTextConversions, AcceptsWhatFitsAndNamesWhatDoesNot) {
  const ConversionCase cases[] = {
      {5, "%s %s Update", ""},
      {5, "%-20s v%.3s", ""},
      {5, "100%% %s", ""},
      {5, "%s", ""},  // fewer conversions than arguments
      {6, "%s%s%s%s", ""},
      {12, "Done: 100%%", ""},
      {13, "no conversions at all", ""},
      {26, "%s (%lu)", ""},
      {26, "%s %#x", ""},
      {26, "%s %08X", ""},
      {27, "%hs %hu", ""},
      {26, "%s %c", ""},
      {26, "%ls %ld", ""},
      {0, "50% off %d", ""},   // a name, never formatted
      {41, "F:%n%", ""},       // likewise
      {24, "%d", ""},          // accepted, never shown
      {5, "%d %s", "%d where a text is passed (argument 1)"},
      {13, "%x", "%x where a text is passed"},
      {21, "%c", "%c where a text is passed"},
      {26, "%s %s", "%s where a number is passed (argument 2)"},
      {5, "%s %s %s", "more conversions than arguments: %s is conversion 3, the installer passes 2"},
      {12, "%s", "the installer passes none"},
      {13, "%y", "unknown conversion '%y'"},
      {13, "%5%", "unknown conversion '%5%'"},
      {13, "%lls", "unknown conversion '%ll'"},
      {13, "%I64d", "unknown conversion '%I'"},
      {13, "50%", "unterminated conversion '%'"},
      {13, "%-08.2", "unterminated conversion '%-08.2'"},
      {13, "%S", "wide text"},
      {26, "%s %C", "wide text"},
      {17, "text", "key 17 has no role"},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.key) + ": " + c.text);
    const std::string reason = CheckTextConversions(c.key, c.text);
    if (*c.fault == 0) EXPECT_EQ(reason, "");
    else EXPECT_NE(reason.find(c.fault), std::string::npos) << reason;
  }
}

// What the check accepts, the installer's formatter fully understands: every
// conversion is replaced, and only the escaped percent signs stay.
TEST(CheckTextConversions, AgreesWithTheInstallersFormatter) {
  const char* texts[] = {"%s %s %s %s", "%-5s|%5.2s|%%|%08lu", "%s %#X %hd", "%c%i", "100%%", "%s%%s", "%y", "%", "%S"};
  for (const TextRole& role : TextRoles()) {
    if (!role.isFormat) continue;
    for (const char* text : texts) {
      SCOPED_TRACE(std::string(role.name) + ": " + text);
      if (!CheckTextConversions(role.key, text).empty()) continue;
      const std::string shown = FormatLikeInstaller(role, text);
      EXPECT_EQ(Count(shown, "%"), Count(text, "%%")) << shown;
    }
  }
}

struct CodePageCase {
  std::string utf8;
  int codepage;
  std::string bytes;  // expected result; empty when `fault` is set
  const char* fault;
};

TEST(ConvertToCodePage, WritesTheCodePageOrNamesTheCharacter) {
  const CodePageCase cases[] = {
      {"plain ASCII", 1252, "plain ASCII", ""},
      {"Caf\u00e9 \u20ac5", 1252, "Caf\xE9 \x80" "5", ""},
      {"\u30a2\u30c3\u30d7", 932, "\x83\x41\x83\x62\x83\x76", ""},
      {"a\r\nb\rc\nd", 1252, "a\nb\nc\nd", ""},
      {"", 932, "", ""},
      {"ok \u2713", 1252, "", "U+2713 '\u2713' at character 4 cannot be written in code page 1252"},
      {"\u65e5\u672c", 1252, "", "U+65E5 '\u65e5' at character 1"},
      {"x\U0001F600", 932, "", "U+1F600"},
      {std::string("a\0b", 3), 1252, "", "NUL at character 2"},
      {"bad \xC3", 1252, "", "invalid UTF-8 at byte 5"},
      {"\xED\xA0\x80", 1252, "", "invalid UTF-8 at byte 1"},  // a surrogate
      {"\xC0\xAF", 1252, "", "invalid UTF-8"},                // overlong
      {"text", 99999, "", "unknown code page 99999"},
      {"text", 0, "", "unknown code page 0"},
  };
  for (const CodePageCase& c : cases) {
    SCOPED_TRACE(c.utf8 + " in " + std::to_string(c.codepage));
    if (*c.fault == 0) {
      EXPECT_EQ(ConvertToCodePage(c.utf8, c.codepage), c.bytes);
    } else {
      const std::string message = ThrownBy([&] { ConvertToCodePage(c.utf8, c.codepage); });
      EXPECT_NE(message.find(c.fault), std::string::npos) << message;
    }
  }
}

TEST(ConvertToCodePage, JapaneseTextsRoundTripThroughShiftJis) {
  for (const TextRole& role : TextRoles()) {
    const auto text = DefaultText("ja", role.key);
    if (!text) continue;
    const std::string bytes = ConvertToCodePage(*text, 932);
    EXPECT_EQ(DecodeText(bytes, 932), *text) << role.name;
  }
}

TEST(BuildHeaderEntries, DefaultsFillEveryShownKeyAndPassTheirOwnChecks) {
  for (const char* language : {"en", "ja"}) {
    SCOPED_TRACE(language);
    TextRequest request;
    request.language = language;
    const std::vector<HeaderEntry> entries = BuildHeaderEntries(request);
    std::set<int> written;
    for (const HeaderEntry& entry : entries) written.insert(std::stoi(entry.key));
    for (const TextRole& role : TextRoles()) {
      SCOPED_TRACE(role.name);
      const bool shown = role.isFormat && role.key != 4;
      EXPECT_EQ(written.count(role.key) == 1, shown);
      const auto text = DefaultText(language, role.key);
      EXPECT_EQ(text.has_value(), shown);
      if (!text) continue;
      EXPECT_EQ(CheckTextConversions(role.key, std::string(*text)), "");
      // Every argument that is a text is shown: defaults leave nothing out.
      EXPECT_EQ(Count(std::string(*text), "%s"), std::count(role.args.begin(), role.args.end(), 's'));
    }
  }
}

TEST(BuildHeaderEntries, GivenTextsOverrideDefaultsAndReachTheInstallersTable) {
  TextRequest request;
  request.language = "ja";
  request.productName = "サンプル エディタ";
  request.fromVersion = "1.0";
  request.toVersion = "3.0";
  request.texts = {{"1", "1.0 (旧)"}, {"file_not_found", "見つかりません: %s"}, {"9", "Software\\Sample"},
                   {"app1_class", "SampleWnd"}, {"41", "F:サンプル"}};
  const std::vector<HeaderEntry> entries = BuildHeaderEntries(request);
  for (size_t i = 1; i < entries.size(); ++i) EXPECT_LT(std::stoi(entries[i - 1].key), std::stoi(entries[i].key));

  PatchFile patch;
  patch.entries = entries;
  patch.records.push_back(FullRecord("a.txt", Bytes{'a'}));
  const Bytes file = WritePatch(patch);
  StringTable table;
  SetDefaultStrings(table);
  ASSERT_NE(ParsePatchHeader(file.data(), uint32_t(file.size()), table), nullptr);

  const struct {
    int key;
    std::string utf8;
  } expected[] = {{0, "サンプル エディタ"}, {1, "1.0 (旧)"}, {2, "3.0"}, {5, "%s %s アップデート"},
                  {9, "Software\\Sample"}, {23, "見つかりません: %s"}, {40, "SampleWnd"}, {41, "F:サンプル"}};
  for (const auto& e : expected) EXPECT_EQ(DecodeText(KeyText(table, e.key), 932), e.utf8) << e.key;
  for (int key : {3, 4, 42, 49}) EXPECT_EQ(table.text[key] == nullptr || *table.text[key] == 0, true) << key;

  char caption[256];
  const FormatArg args[] = {KeyText(table, 0), KeyText(table, 2)};
  FormatText(caption, sizeof caption, KeyText(table, 5), args, 2);
  EXPECT_EQ(DecodeText(caption, 932), "サンプル エディタ 3.0 アップデート");
}

struct RequestFault {
  const char* name;
  TextRequest request;
  std::vector<const char*> parts;  // each must appear in the message
};

TextRequest With(std::vector<std::pair<std::string, std::string>> texts, std::string language = "en",
                 int codepage = 0) {
  TextRequest request;
  request.language = language;
  request.codepage = codepage;
  request.texts = std::move(texts);
  return request;
}

TEST(BuildHeaderEntries, RefusesFaultyRequestsNamingRoleKeyAndReason) {
  const RequestFault cases[] = {
      {"wrong conversion", With({{"caption", "%d %s"}}), {"text 'caption' (key 5): %d where a text is passed"}},
      {"by key number", With({{"26", "%s %s"}}), {"text 'cannot_open' (key 26)", "where a number is passed"}},
      {"too many", With({{"36", "%s"}}), {"text 'all_up_to_date' (key 36)", "more conversions"}},
      {"twice", With({{"caption", "a"}, {"5", "b"}}), {"text 'caption' (key 5) is given twice", "'caption'", "'5'"}},
      {"typo", With({{"captoin", "x"}}), {"unknown text role 'captoin'", "did you mean: caption"}},
      {"near several", With({{"app_name", "x"}}), {"app1_name", "app5_name"}},
      {"far from all", With({{"zzzzzzzzzzzzzz", "x"}}), {"the roles are:", "product_name", "app5_name"}},
      {"no role", With({{"17", "x"}}), {"key 17 has no role"}},
      {"beyond 49", With({{"50", "x"}}), {"text key 50 is not a key from 0 to 49"}},
      {"not in the code page", With({{"finished", "%s \u2192 %s"}}), {"text 'finished' (key 7)", "U+2192", "1252"}},
      {"Japanese default in 1252", With({}, "ja", 1252), {"text 'caption' (key 5)", "U+30A2", "code page 1252"}},
      {"NUL", With({{"product_name", std::string("a\0b", 3)}}), {"text 'product_name' (key 0)", "NUL"}},
      {"language", With({}, "de"), {"unknown language 'de'"}},
      {"code page", With({}, "en", 12345), {"unknown code page 12345"}},
  };
  for (const RequestFault& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = ThrownBy([&] { BuildHeaderEntries(c.request); });
    ASSERT_FALSE(message.empty());
    for (const char* part : c.parts) EXPECT_NE(message.find(part), std::string::npos) << message;
  }
}

}  // namespace
