// Registry probing against real keys of the test prefix, written through the
// same (32-bit) view that the installer reads (kInstallerRegistryView).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/session.h"
#include "locate/registry.h"
#include "locate/registry_win32.h"
#include "tests/win/session_keys.h"

namespace {

constexpr char kTestKey[] = "SOFTWARE\\SelfpatchTest";
constexpr char kProductKey[] = "SOFTWARE\\SelfpatchTest\\Product";
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

std::string TempFolder(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + name;
}

// Deletes a key with everything below it.
void DeleteTree(HKEY root, const std::string& path, REGSAM view = kInstallerRegistryView) {
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
  std::vector<std::string> children;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    children.push_back(name);
  }
  RegCloseKey(key);
  for (const std::string& child : children) DeleteTree(root, path + "\\" + child, view);
  HKEY parent;
  const size_t cut = path.rfind('\\');
  if (RegOpenKeyExA(root, path.substr(0, cut).c_str(), 0, KEY_WRITE | view, &parent) ==
      ERROR_SUCCESS) {
    RegDeleteKeyA(parent, path.substr(cut + 1).c_str());
    RegCloseKey(parent);
  }
}

void SetValue(HKEY root, const std::string& path, const char* name, DWORD type,
              const std::string& data, REGSAM view = kInstallerRegistryView) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS)
      << path;
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           DWORD(data.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// A text value as the registry stores it: with its terminating NUL.
void SetText(HKEY root, const std::string& path, const char* name, const std::string& text,
             DWORD type = REG_SZ) {
  SetValue(root, path, name, type, std::string(text.c_str(), text.size() + 1));
}

void CreateKey(HKEY root, const std::string& path) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | kInstallerRegistryView,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string UninstallEntry(const char* name) { return std::string(kUninstallKey) + "\\" + name; }

class RegistryProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    session = UpdateSession();
    a = TempFolder("sp_reg_a");
    b = TempFolder("sp_reg_b");
    c = TempFolder("sp_reg_c");
    for (const std::string* folder : {&a, &b, &c}) CreateDirectoryA(folder->c_str(), nullptr);
    Cleanup();
  }
  void TearDown() override {
    Cleanup();
    for (const std::string* folder : {&a, &b, &c}) RemoveDirectoryA(folder->c_str());
    session = UpdateSession();
  }

  static void Cleanup() {
    DeleteTree(HKEY_LOCAL_MACHINE, kTestKey);
    DeleteTree(HKEY_CURRENT_USER, kTestKey);
    DeleteTree(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_64KEY);
    for (const char* name : {"SelfpatchTest.App", "SelfpatchTest.One", "SelfpatchTest.Two"})
      DeleteTree(HKEY_LOCAL_MACHINE, UninstallEntry(name));
  }

  static std::string Probe(const char* key9, const char* key3) {
    SetKey(TextKey::InstallFolderKey, key9);
    SetKey(TextKey::UninstallKeys, key3);
    session.candidateFolders[0] = '\0';
    EXPECT_TRUE(ProbeRegistry());
    return session.candidateFolders;
  }

  std::string a, b, c;
};

TEST_F(RegistryProbe, UninstallEntryGivesTheFolderOfTheProgramFirst) {
  const std::string entry = UninstallEntry("SelfpatchTest.App");
  SetText(HKEY_LOCAL_MACHINE, entry, "DisplayIcon", a + "\\app.exe");
  SetText(HKEY_LOCAL_MACHINE, entry, "InstallLocation", a + "\\");
  SetText(HKEY_LOCAL_MACHINE, entry, "UninstallString", "\"" + a + "\\unins000.exe\"");
  EXPECT_EQ(Probe(nullptr, "SelfpatchTest.App"), a + ";" + a + "\\;");
}

TEST_F(RegistryProbe, UninstallEntriesOfTwoNamesAreReadNameByName) {
  // Taken whole, "One;Two" names no key; then each name in turn, its values in
  // the order UninstallString, InstallLocation, DisplayIcon.
  SetText(HKEY_LOCAL_MACHINE, UninstallEntry("SelfpatchTest.One"), "DisplayIcon", a + "\\a.exe");
  SetText(HKEY_LOCAL_MACHINE, UninstallEntry("SelfpatchTest.Two"), "InstallLocation", b + "\\");
  SetText(HKEY_LOCAL_MACHINE, UninstallEntry("SelfpatchTest.Two"), "UninstallString",
          c + "\\unins000.exe /x");
  EXPECT_EQ(Probe(nullptr, "SelfpatchTest.One;SelfpatchTest.Two"), b + "\\;" + c + ";" + a + ";");
  EXPECT_EQ(Probe(nullptr, ";SelfpatchTest.Two;;"), b + "\\;" + c + ";");
  EXPECT_EQ(Probe(nullptr, "SelfpatchTest.Missing;SelfpatchTest.Other"), "");
}

TEST_F(RegistryProbe, AbsentNamesKeyLeavesTheUninstallListAlone) {
  // An empty key 3 names the uninstall key itself; an absent one reads nothing.
  HKEY uninstall;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0,
                          KEY_WRITE | kInstallerRegistryView, &uninstall),
            ERROR_SUCCESS);
  const std::string location = a + "\\";
  RegSetValueExA(uninstall, "InstallLocation", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(location.c_str()), DWORD(location.size() + 1));
  EXPECT_EQ(Probe(nullptr, ""), location + ";");
  EXPECT_EQ(Probe(nullptr, nullptr), "");
  RegDeleteValueA(uninstall, "InstallLocation");
  RegCloseKey(uninstall);
}

TEST_F(RegistryProbe, InstallPathKeyIsReadUnderBothRootsTheUsersFirst) {
  SetText(HKEY_LOCAL_MACHINE, kProductKey, nullptr, a);
  EXPECT_EQ(Probe(kProductKey, nullptr), a + ";");
  SetText(HKEY_CURRENT_USER, kProductKey, nullptr, b);
  EXPECT_EQ(Probe(kProductKey, nullptr), b + ";" + a + ";");
  EXPECT_EQ(Probe("", nullptr), "");
}

TEST_F(RegistryProbe, InstallPathKeyAlsoReadsAsKeyAndValueName) {
  const std::string key9 = std::string(kProductKey) + "\\path";
  SetText(HKEY_LOCAL_MACHINE, kProductKey, "path", a + "\\app.exe");
  EXPECT_EQ(Probe(key9.c_str(), nullptr), a + ";");
  SetText(HKEY_CURRENT_USER, kProductKey, "path", b);
  EXPECT_EQ(Probe(key9.c_str(), nullptr), b + ";" + a + ";");

  // The key exists without a default value: still read as key and value name.
  CreateKey(HKEY_LOCAL_MACHINE, key9);
  EXPECT_EQ(Probe(key9.c_str(), nullptr), b + ";" + a + ";");

  // An empty default value counts as read: nothing is added for key 9.
  SetText(HKEY_LOCAL_MACHINE, key9, nullptr, "");
  EXPECT_EQ(Probe(key9.c_str(), nullptr), "");
}

TEST_F(RegistryProbe, SplitReadingNeedsABackslashAfterTheFirstCharacterAndAShortKey) {
  // Split at its first character, "\\SelfpatchTestValue" would name a value
  // right under the root.
  SetText(HKEY_CURRENT_USER, "", "SelfpatchTestValue", a);
  EXPECT_EQ(Probe("\\SelfpatchTestValue", nullptr), "");
  RegDeleteValueA(HKEY_CURRENT_USER, "SelfpatchTestValue");

  // A key 9 of more than 255 characters is not split.
  const std::string longName(200, 'y');
  const std::string longKey = std::string(kTestKey) + "\\" + longName;
  SetText(HKEY_LOCAL_MACHINE, longKey, "path", b);
  const std::string fits = longKey + "\\path";
  ASSERT_LT(fits.size(), 256u);
  EXPECT_EQ(Probe(fits.c_str(), nullptr), b + ";");
  const std::string longValueName(40, 'v');
  SetText(HKEY_LOCAL_MACHINE, longKey, longValueName.c_str(), b);
  const std::string tooLong = longKey + "\\" + longValueName;
  ASSERT_GT(tooLong.size(), 255u);
  EXPECT_EQ(Probe(tooLong.c_str(), nullptr), "");
}

TEST_F(RegistryProbe, ExpandableValuesAreExpandedBeforeTheFolderIsTaken) {
  char programFiles[MAX_PATH];
  ASSERT_GT(ExpandEnvironmentStringsA("%ProgramFiles%", programFiles, MAX_PATH), 0u);
  ASSERT_STRNE(programFiles, "%ProgramFiles%");
  const std::string folder = std::string(programFiles) + "\\SelfpatchTest";
  CreateDirectoryA(folder.c_str(), nullptr);
  SetText(HKEY_LOCAL_MACHINE, UninstallEntry("SelfpatchTest.App"), "DisplayIcon",
          "%ProgramFiles%\\SelfpatchTest\\app.exe,0", REG_EXPAND_SZ);
  EXPECT_EQ(Probe(nullptr, "SelfpatchTest.App"), folder + ";");
  RemoveDirectoryA(folder.c_str());
}

TEST_F(RegistryProbe, ValuesOfOtherTypesAreIgnored) {
  const std::string entry = UninstallEntry("SelfpatchTest.App");
  const DWORD number = 7;
  SetValue(HKEY_LOCAL_MACHINE, entry, "InstallLocation", REG_DWORD,
           std::string(reinterpret_cast<const char*>(&number), sizeof number));
  SetText(HKEY_LOCAL_MACHINE, entry, "UninstallString", b + "\\u.exe", REG_BINARY);
  SetText(HKEY_LOCAL_MACHINE, entry, "DisplayIcon", a + "\\app.exe");
  EXPECT_EQ(Probe(nullptr, "SelfpatchTest.App"), a + ";");

  // A default value of another type is no value: the split reading follows.
  const std::string key9 = std::string(kProductKey) + "\\path";
  SetValue(HKEY_LOCAL_MACHINE, key9, nullptr, REG_DWORD,
           std::string(reinterpret_cast<const char*>(&number), sizeof number));
  SetText(HKEY_LOCAL_MACHINE, kProductKey, "path", c);
  EXPECT_EQ(Probe(key9.c_str(), nullptr), c + ";");
}

TEST_F(RegistryProbe, TheSixtyFourBitViewIsNotRead) {
  SetValue(HKEY_LOCAL_MACHINE, kProductKey, nullptr, REG_SZ, a + '\0', KEY_WOW64_64KEY);
  EXPECT_EQ(Probe(kProductKey, nullptr), "");
}

// ReadRegistryText on its own: accepted types and the limits of the buffer.
class RegistryText : public RegistryProbe {
 protected:
  bool Read(const char* name, char (&buffer)[kRegistryTextSize]) {
    memset(buffer, '#', sizeof buffer);
    return ReadRegistryText(HKEY_LOCAL_MACHINE, kProductKey, name, buffer, sizeof buffer);
  }
};

TEST_F(RegistryText, AcceptsTextTypesOnly) {
  const DWORD number = 1;
  const std::string dword(reinterpret_cast<const char*>(&number), sizeof number);
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    bool read;
    const char* text;
  } cases[] = {
      {"sz", REG_SZ, std::string("C:\\App\0", 7), true, "C:\\App"},
      {"multi", REG_MULTI_SZ, std::string("C:\\First\0C:\\Second\0\0", 20), true, "C:\\First"},
      {"expand", REG_EXPAND_SZ, std::string("C:\\App\0", 7), true, "C:\\App"},
      {"no terminator", REG_SZ, std::string("C:\\App"), true, "C:\\App"},
      {"empty", REG_SZ, std::string(), true, ""},
      {"dword", REG_DWORD, dword, false, nullptr},
      {"binary", REG_BINARY, std::string("C:\\App\0", 7), false, nullptr},
      {"none", REG_NONE, std::string("C:\\App\0", 7), false, nullptr},
  };
  for (const Case& entry : cases) SetValue(HKEY_LOCAL_MACHINE, kProductKey, entry.name, entry.type, entry.data);
  for (const Case& entry : cases) {
    char buffer[kRegistryTextSize];
    EXPECT_EQ(Read(entry.name, buffer), entry.read) << entry.name;
    if (entry.read) EXPECT_STREQ(buffer, entry.text) << entry.name;
  }
  char buffer[kRegistryTextSize];
  EXPECT_FALSE(Read("missing", buffer));
  EXPECT_FALSE(ReadRegistryText(HKEY_LOCAL_MACHINE, "SOFTWARE\\SelfpatchTest\\Missing", nullptr,
                                buffer, sizeof buffer));
}

TEST_F(RegistryText, TextsBeyond255CharactersAreAbsent) {
  const std::string longest(255, 'x');
  SetText(HKEY_LOCAL_MACHINE, kProductKey, "255", longest);
  SetText(HKEY_LOCAL_MACHINE, kProductKey, "256", longest + "x");
  SetValue(HKEY_LOCAL_MACHINE, kProductKey, "256 unterminated", REG_SZ, longest + "x");
  char buffer[kRegistryTextSize];
  ASSERT_TRUE(Read("255", buffer));
  EXPECT_EQ(std::string(buffer), longest);
  EXPECT_FALSE(Read("256", buffer));
  EXPECT_FALSE(Read("256 unterminated", buffer));
}

TEST_F(RegistryText, ExpansionsThatDoNotFitAreAbsent) {
  const std::string value(200, 'v');
  SetEnvironmentVariableA("SP_TEST_PART", value.c_str());
  SetText(HKEY_LOCAL_MACHINE, kProductKey, "fits", "%SP_TEST_PART%\\1234567890", REG_EXPAND_SZ);
  SetText(HKEY_LOCAL_MACHINE, kProductKey, "too long", "%SP_TEST_PART%%SP_TEST_PART%",
          REG_EXPAND_SZ);
  char buffer[kRegistryTextSize];
  ASSERT_TRUE(Read("fits", buffer));
  EXPECT_EQ(std::string(buffer), value + "\\1234567890");
  EXPECT_FALSE(Read("too long", buffer));

  char text[kRegistryTextSize] = "%SP_TEST_PART%%SP_TEST_PART%";
  EXPECT_FALSE(ExpandValueText(text));
  EXPECT_STREQ(text, "%SP_TEST_PART%%SP_TEST_PART%");
  char small[16] = "%SP_TEST_PART%";
  EXPECT_FALSE(ExpandValueText(small, sizeof small));
  EXPECT_STREQ(small, "%SP_TEST_PART%");
  SetEnvironmentVariableA("SP_TEST_PART", nullptr);
}

}  // namespace
