#include "launcher/switches.h"

#include <gtest/gtest.h>

namespace {

TEST(ScanSwitches, RecognisesOnlyWholeSwitchesAfterASpace) {
  struct Case {
    const char* text;
    bool silent;
    bool killParent;
  };
  const Case cases[] = {
      {"setup.exe /s", true, false},
      {"setup.exe /S", true, false},
      {"setup.exe -s", true, false},
      {"setup.exe /k", false, true},
      {"setup.exe -K /s", true, true},
      {"setup.exe /sx", false, false},     // a longer word
      {"/s", false, false},                // not preceded by a space
      {"setup.exe /s\t", false, false},    // only a space or the end closes it
      {"setup.exe  /s  /k ", true, true},
      {"\"C:\\my dir\\setup.exe\" /s", true, false},
      {"\"C:\\x /s\\setup.exe\"", false, false},  // '\\' follows the letter
      {"\"C:\\x /s dir\\setup.exe\"", true, false},  // quotes are not special
      {"setup.exe /x /", false, false},
      {"setup.exe -", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    LauncherState state{};
    ScanSwitches(c.text, state);
    EXPECT_EQ(state.launcherSilent != 0, c.silent) << c.text;
    EXPECT_EQ(state.killParent != 0, c.killParent) << c.text;
  }
}

TEST(ScanSwitches, SourcesAddUp) {
  LauncherState state{};
  ScanSwitches("setup.exe /k", state);
  ScanSwitches(" /s", state);
  ScanSwitches("setup.exe", state);
  EXPECT_TRUE(state.launcherSilent);
  EXPECT_TRUE(state.killParent);
}

TEST(ReadSwitchArea, StopsAtTheNulOrTheEndOfTheArea) {
  uint8_t image[1100] = {};
  const char preset[] = " /s";
  std::copy(preset, preset + 3, image + kSwitchAreaOffset);
  char text[kSwitchAreaSize];
  ReadSwitchArea(image, text);
  EXPECT_STREQ(text, " /s");

  std::fill(image + kSwitchAreaOffset, image + 1100, uint8_t('x'));
  ReadSwitchArea(image, text);
  EXPECT_EQ(std::string(text), std::string(kSwitchAreaSize - 1, 'x'));
}

}  // namespace
