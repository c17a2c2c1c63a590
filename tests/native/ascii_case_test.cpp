// Case folding of names in the tool: the ASCII letters fold, every other byte
// (punctuation next to the letters, code-page letters above 0x7F) stands.
#include "builder/ascii_case.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FoldCase {
  std::string text;
  std::string lower;
};

const FoldCase kFolds[] = {
    {"", ""},
    {"APP.EXE", "app.exe"},
    {"Bin\\Plugin.Dll", "bin\\plugin.dll"},
    {"az AZ 09", "az az 09"},
    {"@[`{", "@[`{"},                  // the bytes just outside A-Z and a-z
    {"\xC0\xC9\xDE", "\xC0\xC9\xDE"},  // Western capitals stay: 1252 is not folded here
    {"\x82\x60\x82\x81", "\x82\x60\x82\x81"},  // Shift-JIS full-width A and a
    {std::string("A\0B", 3), std::string("a\0b", 3)},
};

TEST(AsciiCase, LowerFoldsOnlyAsciiLetters) {
  for (const FoldCase& c : kFolds) EXPECT_EQ(AsciiLower(c.text), c.lower) << "text: " << c.text;
}

TEST(AsciiCase, EqualIgnoresOnlyTheCaseOfAsciiLetters) {
  for (const FoldCase& c : kFolds) {
    EXPECT_TRUE(EqualIgnoringAsciiCase(c.text, c.lower)) << "text: " << c.text;
    EXPECT_TRUE(EqualIgnoringAsciiCase(c.lower, c.text)) << "text: " << c.text;
  }
  EXPECT_FALSE(EqualIgnoringAsciiCase("app.exe", "app.ex"));
  EXPECT_FALSE(EqualIgnoringAsciiCase("app.ex", "app.exe"));
  EXPECT_FALSE(EqualIgnoringAsciiCase("@", "`"));
  EXPECT_FALSE(EqualIgnoringAsciiCase("\xC0", "\xE0"));
  EXPECT_FALSE(EqualIgnoringAsciiCase(std::string("a\0b", 3), "a"));
}

}  // namespace
