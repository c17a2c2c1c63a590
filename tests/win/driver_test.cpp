// The update driver on real files: exit codes, the caption and the release of
// the patch file on every way out of a run.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder/format/patch_writer.h"
#include "driver/exit_codes.h"
#include "driver/session.h"
#include "driver/update.h"

namespace {

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "sp-driver-test.dif";
  }
  void TearDown() override { DeleteFileA(path_.c_str()); }

  void WriteFile(const Bytes& bytes) {
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }

  // One run from a fresh session, as the launcher starts it.
  int Run(const std::string& switches) {
    session = UpdateSession{};
    std::string commandLine = "arg00 " + switches + "\"" + path_ + "\"";
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(0);
    return RunUpdate(GetModuleHandleA(nullptr), buffer.data());
  }

  // The run must have let go of the patch file.
  bool PatchReleased() { return DeleteFileA(path_.c_str()) != 0; }

  std::string path_;
};

PatchFile SamplePatch(const std::string& productName) {
  PatchFile patch;
  patch.SetText(0, productName);
  patch.SetText(2, "2.0");
  patch.SetText(5, "%s %s update");
  patch.records.push_back(FullRecord("readme.txt", Bytes{'n', 'e', 'w'}));
  return patch;
}

TEST_F(Driver, SilentRunSetsTheCaptionAndReleasesThePatch) {
  WriteFile(WritePatch(SamplePatch("Sample")));
  EXPECT_EQ(Run("/s "), ExitUpdated);
  EXPECT_STREQ(session.caption, "Sample 2.0 update");
  EXPECT_TRUE(session.silent);
  EXPECT_TRUE(PatchReleased());
}

TEST_F(Driver, CaptionIsCutTo255Characters) {
  WriteFile(WritePatch(SamplePatch(std::string(300, 'p'))));
  EXPECT_EQ(Run("/s "), ExitUpdated);
  EXPECT_EQ(std::string(session.caption), std::string(255, 'p'));
}

TEST_F(Driver, UnconfirmedRunEndsWith104) {
  // Key 6 is empty: the question answers 0 without showing anything.
  WriteFile(WritePatch(SamplePatch("Sample")));
  EXPECT_EQ(Run(""), ExitNotConfirmed);
  EXPECT_TRUE(PatchReleased());
}

TEST_F(Driver, EarlyFailuresEndWithTheirCodes) {
  EXPECT_EQ(Run(""), ExitPatchNotOpened);  // no file yet
  WriteFile(Bytes{});
  EXPECT_EQ(Run("/s "), ExitPatchNotMapped);
  EXPECT_TRUE(PatchReleased());

  PatchFile faulty = SamplePatch("Sample");
  faulty.SetText(32, "damaged: %s");
  faulty.magic = false;
  WriteFile(WritePatch(faulty));
  EXPECT_EQ(Run("/s "), ExitPatchInvalid);
  EXPECT_TRUE(PatchReleased());
  EXPECT_STREQ(KeySlot(session.strings, TextKey::FaultyData), "");  // texts no longer point into the file

  session = UpdateSession{};
  char onlyOneToken[] = "arg00 /s";
  EXPECT_EQ(RunUpdate(GetModuleHandleA(nullptr), onlyOneToken), ExitBadCommandLine);
}

}  // namespace
