#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/replace.h"
#include "launcher/launcher.h"
#include "launcher/unpack_folder_win32.h"

namespace {

std::string OwnFolder() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.rfind('\\') + 1);
}

std::string TempFolder() {
  char path[MAX_PATH];
  GetTempPathA(MAX_PATH, path);
  return path;
}

TEST(CreateUnpackFolder, MakesANewFolderWithARandomNameEachTime) {
  const std::string parent = TempFolder();
  char first[MAX_PATH];
  char second[MAX_PATH];
  ASSERT_TRUE(CreateUnpackFolder(parent.c_str(), first));
  ASSERT_TRUE(CreateUnpackFolder(parent.c_str(), second));
  EXPECT_STRNE(first, second);
  for (const char* folder : {first, second}) {
    const std::string name = std::string(folder).substr(parent.size());
    EXPECT_EQ(name.size(), 26u) << name;
    EXPECT_EQ(name.substr(0, 2), "sp");
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 2), std::string::npos) << name;
    const DWORD attributes = GetFileAttributesA(folder);
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(RemoveDirectoryA(folder));
  }
}

TEST(CreateUnpackFolder, FailsWhereNoFolderCanBeMade) {
  char folder[MAX_PATH];
  const std::string missing = TempFolder() + "no-such-parent-folder\\";
  EXPECT_FALSE(CreateUnpackFolder(missing.c_str(), folder));
  const std::string tooLong = TempFolder() + std::string(240, 'x') + "\\";
  EXPECT_FALSE(CreateUnpackFolder(tooLong.c_str(), folder));
}

TEST(CreateUnpackFolder, OnlyTheSystemAndTheOwnerSideMayOpenIt) {
  char folder[MAX_PATH];
  ASSERT_TRUE(CreateUnpackFolder(TempFolder().c_str(), folder));
  uint8_t buffer[4096];
  DWORD needed = 0;
  const BOOL read = GetFileSecurityA(folder, DACL_SECURITY_INFORMATION, buffer, sizeof buffer,
                                     &needed);
  RemoveDirectoryA(folder);
  ASSERT_TRUE(read);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  ACL* acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(buffer, &present, &acl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(acl, nullptr);
  ASSERT_EQ(acl->AceCount, 2);
  // SYSTEM, then the administrators, or the user when the process is not an
  // administrator. No other user or group may open it.
  uint8_t system[SECURITY_MAX_SID_SIZE];
  uint8_t administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
  size = sizeof administrators;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  uint8_t userBuffer[512];
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, userBuffer, sizeof userBuffer, &length));
  CloseHandle(token);
  void* user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;
  ACCESS_ALLOWED_ACE* aces[2] = {};
  for (DWORD i = 0; i < 2; ++i) {
    ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&aces[i])));
    EXPECT_EQ(aces[i]->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  }
  EXPECT_TRUE(EqualSid(&aces[0]->SidStart, system));
  EXPECT_TRUE(EqualSid(&aces[1]->SidStart, administrators) || EqualSid(&aces[1]->SidStart, user));
}

bool WriteText(const std::string& path, const char* text, DWORD attributes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text, DWORD(strlen(text)), &written, nullptr);
  CloseHandle(file);
  return ok != FALSE;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Links out of the folder: tests/e2e/test_driver.py, where a Unix link stands
// in for a junction (Wine makes no links for Windows programs).
TEST(RemoveUnpackFolder, RemovesWhatAProgramLeftInsideWhateverItsAttributes) {
  char folder[MAX_PATH];
  ASSERT_TRUE(CreateUnpackFolder(TempFolder().c_str(), folder));
  const std::string inside(folder);
  ASSERT_TRUE(WriteText(inside + "\\left.txt", "left by a follow-up program",
                        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(CreateDirectoryA((inside + "\\logs").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((inside + "\\logs\\old").c_str(), nullptr));
  ASSERT_TRUE(WriteText(inside + "\\logs\\old\\run.log", "log", FILE_ATTRIBUTE_READONLY));
  SetFileAttributesA((inside + "\\logs").c_str(), FILE_ATTRIBUTE_READONLY);

  RemoveUnpackFolder(folder);
  EXPECT_FALSE(Exists(inside));
}

TEST(RestrictDllSearch, ADllBesideTheProgramIsNoLongerLoaded) {
  char program[MAX_PATH];
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  const std::string planted = OwnFolder() + "spplanted.dll";
  ASSERT_TRUE(CopyFileA(program, planted.c_str(), FALSE));
  HMODULE before = LoadLibraryA("spplanted.dll");
  EXPECT_NE(before, nullptr) << "the planted file should be found before the restriction";
  if (before) FreeLibrary(before);
  RestrictDllSearch();
  HMODULE after = LoadLibraryA("spplanted.dll");
  EXPECT_EQ(after, nullptr);
  if (after) FreeLibrary(after);
  EXPECT_NE(LoadLibraryA("version.dll"), nullptr);  // system DLLs still load
  DeleteFileA(planted.c_str());
}

TEST(ProcessStartedBeforeUs, TellsAParentFromAProcessStartedLater) {
  EXPECT_TRUE(ProcessStartedBeforeUs(GetCurrentProcess()));
  // A process started now is younger: it cannot be our parent.
  char program[MAX_PATH];
  GetSystemDirectoryA(program, MAX_PATH);
  std::string commandLine = std::string(program) + "\\cmd.exe /c exit 0";
  std::vector<char> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(0);
  Sleep(20);  // creation times have a coarse clock
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &child));
  EXPECT_FALSE(ProcessStartedBeforeUs(child.hProcess));
  WaitForSingleObject(child.hProcess, 10000);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

TEST(EnablePrivilege, EnablesAKnownPrivilegeAndReportsAnUnknownOne) {
  EXPECT_EQ(EnablePrivilege("SeSecurityPrivilege", true, nullptr), 0);
  EXPECT_EQ(EnablePrivilege("SeSecurityPrivilege", false, nullptr), 0);
  EXPECT_EQ(uint32_t(EnablePrivilege("SeNoSuchPrivilege", true, nullptr)),
            0x80070000u | ERROR_NO_SUCH_PRIVILEGE);
}

}  // namespace
