// The run's final report: which text it shows, and the exit code that goes with
// it, for the counters that record processing leaves behind. The run happens in
// this process and boxbot answers its boxes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder/format/patch_writer.h"
#include "driver/exit_codes.h"
#include "driver/update.h"
#include "tests/win/ui_helpers.h"

using namespace uitest;

namespace {

class FinalReport : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "sp-ui-report-test.dif";
    PatchFile patch;
    const std::pair<int, const char*> texts[] = {
        {0, "Product"}, {1, "1.0"}, {2, "2.0"}, {5, "%s %s Update"}, {6, "Update %s?"},
        {7, "%s %s: finished"}, {8, "%s %s: some files were not updated"},
        {37, "Restart Windows to finish."}, {12, "Updating"}, {14, "Ended"}};
    for (const auto& [key, text] : texts) patch.SetText(key, text);
    // Not installed, optional and never created: with no folder known the
    // folder browser is offered (cancelled below), then processing passes
    // over it quietly.
    patch.records.push_back(FullRecord("absent.txt", Bytes{'n', 'e', 'w'}, 4 | 8));
    Bytes bytes = WritePatch(patch);
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  void TearDown() override {
    ResetSession("");
    DeleteFileA(path_.c_str());
  }

  // A confirmed run that starts with the counters that record processing would
  // have left.
  int Run(uint32_t failures, uint32_t rebootNeeded, const std::string& switches = "") {
    ResetSession("");
    session.failureCount = failures;
    session.rebootNeeded = rebootNeeded;
    session.updatedCount = 1;  // one file replaced, so record processing succeeds
    std::string commandLine = "arg00 " + switches + "\"" + path_ + "\"";
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(0);
    return RunUpdate(GetModuleHandleA(nullptr), buffer.data());
  }

  std::string path_;
};

TEST_F(FinalReport, ShowsIncompleteElseRestartElseFinished) {
  struct Case {
    uint32_t failures, rebootNeeded;
    const char* text;
    int exitCode;
  } cases[] = {
      {0, 0, "Product 2.0: finished", ExitUpdated},
      {0, 1, "Restart Windows to finish.", ExitUpdated},
      {1, 1, "Product 2.0: some files were not updated", ExitIncomplete},
      {3, 0, "Product 2.0: some files were not updated", ExitIncomplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Boxbot bot({"Yes", "Cancel", "OK"});
    EXPECT_EQ(Run(c.failures, c.rebootNeeded), c.exitCode);
    std::vector<std::string> boxes = bot.Finish();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(Field(boxes[0], "text"), "Update Product?");
    const std::string& report = boxes[2];
    EXPECT_EQ(Field(report, "text"), c.text);
    EXPECT_EQ(Field(report, "icon"), "information");
    EXPECT_EQ(Field(report, "caption"), "Product 2.0 Update");
    EXPECT_EQ(Field(report, "owner"), "progress");
    // The report comes after the last progress text.
    EXPECT_NE(report.find("\"text\":\"Ended\""), std::string::npos) << report;
  }
}

TEST_F(FinalReport, SilentRunShowsNoReportButKeepsItsExitCode) {
  CreationGuard guard;
  EXPECT_EQ(Run(2, 1, "/s "), ExitIncomplete);
  EXPECT_EQ(guard.attempts(), 0);
  EXPECT_EQ(session.progressWindow, nullptr);
}

}  // namespace
