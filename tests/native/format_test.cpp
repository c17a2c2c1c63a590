#include "ui/format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Format(const char* format, std::vector<FormatArg> args, int size = 1024) {
  std::vector<char> buffer(size_t(size) + 8, '#');
  const int length = FormatText(buffer.data(), size, format, args.data(), int(args.size()));
  EXPECT_EQ(buffer[size_t(size)], '#') << "wrote past the buffer";
  EXPECT_EQ(size_t(length), std::string(buffer.data()).size());
  return std::string(buffer.data());
}

TEST(FormatText, ConversionsOfTheWin32Formatter) {
  struct Case {
    const char* format;
    std::vector<FormatArg> args;
    const char* expected;
  };
  const Case cases[] = {
      {"%s %s update", {"Product", "2.0"}, "Product 2.0 update"},
      {"%d|%i|%u", {-5, -5, -5}, "-5|-5|4294967291"},
      {"%x %X %#x %#X", {255, 255, 255, 255}, "ff FF 0xff 0XFF"},
      {"[%5d][%-5d][%05d][%.3d]", {42, 42, 42, 7}, "[   42][42   ][00042][007]"},
      {"[%-6s][%6s][%.2s]", {"ab", "ab", "abcdef"}, "[ab    ][    ab][ab]"},
      {"%c%c", {'o', 'k'}, "ok"},
      {"%ld %lu %lx %hd %hu %hx", {7, 7u, 26, 65535, 65537, 0x12345}, "7 7 1a -1 1 2345"},
      {"100%% sure", {}, "100% sure"},
      {"%d", {int32_t(0x80000000)}, "-2147483648"},
      {"%08.3d|%-08d|", {5, 5}, "     005|5       |"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(c.format, c.args), c.expected) << c.format;
}

TEST(FormatText, NeverReadsMoreArgumentsThanPassed) {
  // Conversions without an argument are shown as written.
  EXPECT_EQ(Format("%s and %s, %5d%%", {"one"}), "one and %s, %5d%");
  EXPECT_EQ(Format("%s", {}), "%s");
  EXPECT_EQ(FormatText(nullptr, 0, "%s", nullptr, 0), 0);
  char buffer[16];
  EXPECT_EQ(FormatText(buffer, sizeof buffer, "%s %d", nullptr, 2), 5);
  EXPECT_STREQ(buffer, "%s %d");
}

TEST(FormatText, SurplusArgumentsAreIgnored) {
  EXPECT_EQ(Format("restart", {"Product", "2.0"}), "restart");
  EXPECT_EQ(Format("cannot open %s", {"C:\\a.dif", 5u}), "cannot open C:\\a.dif");
}

TEST(FormatText, MismatchedKindsNeverDereferenceNumbers) {
  EXPECT_EQ(Format("[%s]", {1234}), "[1234]");       // a number under %s shows as decimal
  EXPECT_EQ(Format("[%d]", {"text"}), "[text]");     // a text under %d shows as the text
  EXPECT_EQ(Format("[%c]", {"text"}), "[text]");
  EXPECT_EQ(Format("[%s]", {static_cast<const char*>(nullptr)}), "[]");  // absent text
}

TEST(FormatText, MalformedConversionsAreShownAsWritten) {
  EXPECT_EQ(Format("50%", {"x"}), "50%");
  EXPECT_EQ(Format("%-5", {"x"}), "%-5");
  EXPECT_EQ(Format("%q%s", {"x"}), "%qx");
  EXPECT_EQ(Format("%f %p %n", {1, 2, 3}), "%f %p %n");
  EXPECT_EQ(Format(nullptr, {"x"}), "");
}

TEST(FormatText, ResultIsCutToTheBuffer) {
  const std::string text(300, 'a');
  EXPECT_EQ(Format("%s", {text.c_str()}, 256), std::string(255, 'a'));
  EXPECT_EQ(Format("%999999999d", {1}, 256), std::string(255, ' '));
  EXPECT_EQ(Format("%.999999999d", {1}, 64), std::string(63, '0'));
  EXPECT_EQ(Format("abc", {}, 1), "");
  EXPECT_EQ(Format("abcdef", {}, 4), "abc");
}

}  // namespace
