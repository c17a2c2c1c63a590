#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Result {
  bool complete;
  std::string patchPath;
  std::string postCommands;
  bool silent;
};

Result Parse(std::string text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  DriverCommandLine parsed;
  const bool complete = ParseDriverCommandLine(buffer.data(), parsed);
  return Result{complete, parsed.patchPath ? parsed.patchPath : "<none>", parsed.postCommands,
                parsed.silent};
}

TEST(ParseDriverCommandLine, TakesTwoTokensAndLeavesTheRest) {
  struct Case {
    const char* text;
    bool complete;
    const char* patchPath;
    const char* postCommands;
    bool silent;
  };
  const Case cases[] = {
      {"arg00", false, "<none>", "", false},
      {"", false, "<none>", "", false},
      {"arg00   ", false, "<none>", "", false},
      {"arg00 /s a.dif", true, "a.dif", "", true},
      {"arg00 /s", false, "<none>", "", true},           // a last "/s" is a switch too
      {"arg00 a.dif", true, "a.dif", "", false},
      {"arg00 a.dif run.exe", true, "a.dif", "run.exe", false},
      {"arg00 \"C:\\my dir\\a.dif\" run.exe", true, "C:\\my dir\\a.dif", "run.exe", false},
      {"arg00 a.dif /s", true, "a.dif", "/s", false},   // a third-position /s is a command
      {"arg00 /silent a.dif", true, "a.dif", "", true},  // only the first two letters count
      {"arg00 /S a.dif", true, "/S", "a.dif", false},    // upper case is a token
      {"arg00 a.dif   one.exe two.exe", true, "a.dif", "one.exe two.exe", false},
      {"arg00 \"unterminated path", true, "unterminated path", "", false},
      {"\"arg 00\" a.dif", true, "a.dif", "", false},
  };
  for (const Case& c : cases) {
    Result r = Parse(c.text);
    EXPECT_EQ(r.complete, c.complete) << c.text;
    EXPECT_EQ(r.patchPath, c.patchPath) << c.text;
    EXPECT_EQ(r.postCommands, c.postCommands) << c.text;
    EXPECT_EQ(r.silent, c.silent) << c.text;
  }
}

std::vector<std::string> Commands(std::string text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  char* cursor = buffer.data();
  std::vector<std::string> commands;
  while (char* command = NextPostCommand(cursor)) commands.push_back(command);
  return commands;
}

TEST(NextPostCommand, CutsAtSpacesAndAmpersands) {
  using List = std::vector<std::string>;
  EXPECT_EQ(Commands("one.exe&two.exe"), (List{"one.exe", "two.exe"}));
  EXPECT_EQ(Commands("one.exe   two.exe "), (List{"one.exe", "two.exe"}));
  EXPECT_EQ(Commands("one.exe& two.exe"), (List{"one.exe", "two.exe"}));
  EXPECT_EQ(Commands("a&&b"), (List{"a", "", "b"}));
  EXPECT_EQ(Commands(""), List{});
  EXPECT_EQ(Commands("/s"), (List{"/s"}));
}

}  // namespace
