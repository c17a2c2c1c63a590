// Finding installed files on real folders: the candidate pass and its resume
// position, the path search, the scans with their questions, the drive scan.
#include "locate/search.h"

#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "locate/folders.h"
#include "patch/crc32.h"
#include "tests/win/session_keys.h"

using namespace testing_engine;

namespace {

uint32_t CrcOf(const Bytes& content) { return Crc32(content.data(), uint32_t(content.size())); }

std::string FirstCandidate() {
  const char* cursor = session.candidateFolders;
  char folder[kFolderEntrySize] = "";
  NextFolder(cursor, folder);
  return folder;
}

// A copy of the file at the root of C:, the first fixed drive, for tests whose
// answers must keep the drive scan from starting. Should an answer be missed
// (a box that fails to show answers 0, which starts the scan), the scan stops
// here and the test fails at once, instead of walking Z:, the whole Linux
// filesystem in the test prefix.
class DriveScanStop {
 public:
  explicit DriveScanStop(const std::string& name) : path_("C:\\" + name) {
    WriteAll(path_, Text("what a drive scan would find first"));
  }
  ~DriveScanStop() { DeleteFileA(path_.c_str()); }

 private:
  std::string path_;
};

class LocateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSession();
    SetKey(TextKey::DriveScanSlow, "scan drives for %s?");
    SetKey(TextKey::FoundOtherVersion, "other %s in %s");
    SetKey(TextKey::FoundUpdateHere, "found %s in %s");
  }
  // A name no other folder of the system holds, so only our copies are found.
  std::string Unique(const char* stem) {
    return std::string(stem) + std::to_string(GetCurrentProcessId()) + ".dll";
  }
  ScratchFolder scratch;
  Bytes known = Text("known content");
  Bytes other = Text("some other content");
  char found[kPathSize] = "";
};

TEST_F(LocateTest, VisitsEachCandidateFolderWithAKnownCopyOnce) {
  const std::string name = Unique("loc");
  const std::string f1 = scratch.MakeFolder("F1");
  const std::string f2 = scratch.MakeFolder("F2");
  const std::string f3 = scratch.MakeFolder("F3");
  scratch.Write("F2\\" + name, known);
  scratch.Write("F3\\" + name, known);
  SetCandidates({f1, f2, f3});
  const uint32_t crcs[] = {CrcOf(known)};

  struct Step {
    bool found;
    std::string path;
    int32_t position;
  };
  const Step steps[] = {
      {true, f2 + "\\" + name, 2}, {true, f3 + "\\" + name, 3}, {false, "", 3}};
  int32_t position = 0;
  for (const Step& step : steps) {
    EXPECT_EQ(LocateTargetFile(name.c_str(), found, crcs, 1, position, true), step.found);
    if (step.found) EXPECT_STREQ(found, step.path.c_str());
    EXPECT_EQ(position, step.position);
  }
}

TEST_F(LocateTest, UnknownCopyIsPassedOverThenFoundOnThePathWithoutTest) {
  const std::string name = Unique("unk");
  const std::string f1 = scratch.MakeFolder("F1");
  const std::string f2 = scratch.MakeFolder("F2");
  const std::string f3 = scratch.MakeFolder("F3");
  scratch.Write("F1\\" + name, other);
  SetCandidates({f1, f2, f3});
  const uint32_t crcs[] = {CrcOf(known)};
  int32_t position = 0;
  BoxAnswerer boxes({});
  EXPECT_TRUE(LocateTargetFile(name.c_str(), found, crcs, 1, position, true));
  EXPECT_STREQ(found, (f1 + "\\" + name).c_str());
  EXPECT_EQ(position, 4);
  EXPECT_FALSE(LocateTargetFile(name.c_str(), found, crcs, 1, position, true));
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(LocateTest, ZeroInTheListAcceptsAnyContent) {
  const std::string name = Unique("any");
  const std::string f1 = scratch.MakeFolder("F1");
  const std::string f2 = scratch.MakeFolder("F2");
  scratch.Write("F2\\" + name, other);
  SetCandidates({f1, f2});
  const uint32_t crcs[] = {CrcOf(known), 0};
  int32_t position = 0;
  EXPECT_TRUE(LocateTargetFile(name.c_str(), found, crcs, 2, position, false));
  EXPECT_STREQ(found, (f2 + "\\" + name).c_str());
  EXPECT_EQ(position, 2);
}

TEST_F(LocateTest, NameWithAFolderIsLookedUpWholeInTheCandidates) {
  const std::string name = Unique("sub");
  const std::string app = scratch.MakeFolder("App");
  scratch.Write("App\\sub\\" + name, known);
  SetCandidates({app});
  const uint32_t crcs[] = {CrcOf(known)};
  int32_t position = 0;
  EXPECT_TRUE(LocateTargetFile(("sub\\" + name).c_str(), found, crcs, 1, position, false));
  EXPECT_STREQ(found, (app + "\\sub\\" + name).c_str());
}

TEST_F(LocateTest, ShallowScanEntersSubfoldersByShortNameAndMovesTheFolderFirst) {
  const std::string name = Unique("short");
  const std::string app = scratch.MakeFolder("App");
  const std::string other = scratch.MakeFolder("Other");
  const std::string longPath = scratch.Write("App\\Program Files Long\\" + name, known);
  SetCandidates({other, app});
  session.silent = 1;  // crcCount 0: accepted without a question
  EXPECT_TRUE(SearchForFile(name.c_str(), found, nullptr, 0, false));

  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((app + "\\Program Files Long").c_str(), &entry);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::string shortName = entry.cAlternateFileName;
  ASSERT_FALSE(shortName.empty());
  EXPECT_STREQ(found, (app + "\\" + shortName + "\\" + name).c_str());
  char longFound[kPathSize];
  GetLongPathNameA(found, longFound, kPathSize);
  EXPECT_STRCASEEQ(longFound, longPath.c_str());
  EXPECT_EQ(FirstCandidate(), app + "\\" + shortName);
}

TEST_F(LocateTest, ScanQuestionsDecideWhichCopyIsTaken) {
  struct Case {
    const char* what;
    bool knownContent;
    std::vector<int> answers;
    bool found;
    size_t questions;
  };
  const Case cases[] = {
      {"known copy, Yes takes it", true, {IDYES}, true, 1},
      {"known copy, No searches on", true, {IDNO, IDNO}, false, 2},
      {"other version, No stops at it", false, {IDNO}, true, 1},
      {"other version, Yes searches on", false, {IDYES, IDYES}, false, 2},
  };
  for (const Case& c : cases) {
    ScratchFolder folder;
    const std::string name = Unique("ask");
    const std::string app = folder.MakeFolder("App");
    const Bytes& content = c.knownContent ? known : other;
    folder.Write("App\\a\\" + name, content);
    folder.Write("App\\b\\" + name, content);
    ResetSession();
    SetKey(TextKey::FoundOtherVersion, "other %s in %s");
    SetKey(TextKey::FoundUpdateHere, "found %s in %s");
    SetCandidates({app});
    const uint32_t crcs[] = {CrcOf(known)};
    std::vector<std::string> texts;
    bool result;
    {
      BoxAnswerer boxes(c.answers);
      result = SearchForFile(name.c_str(), found, crcs, 1, false);
      texts = boxes.Texts();
    }
    EXPECT_EQ(result, c.found) << c.what;
    ASSERT_EQ(texts.size(), c.questions) << c.what;
    const std::string prefix = c.knownContent ? "found " : "other ";
    EXPECT_EQ(texts[0].rfind(prefix + name + " in " + app + "\\", 0), 0u) << texts[0];
    EXPECT_EQ(texts[0].back(), '\\') << "the folder is shown with its separator";
    if (c.found) EXPECT_EQ(std::string(found).rfind(app + "\\", 0), 0u) << found;
  }
}

TEST_F(LocateTest, EmptyQuestionTextNeverAcceptsAKnownCopy) {
  const std::string name = Unique("empty");
  const std::string app = scratch.MakeFolder("App");
  scratch.Write("App\\sub\\" + name, known);
  SetCandidates({app});
  SetKey(TextKey::FoundUpdateHere, "");
  const uint32_t crcs[] = {CrcOf(known)};
  BoxAnswerer boxes({});
  EXPECT_FALSE(SearchForFile(name.c_str(), found, crcs, 1, false));
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(LocateTest, SilentModeAsksNothingAndScansNoDrive) {
  const std::string name = Unique("silent");
  const std::string app = scratch.MakeFolder("App");
  scratch.Write("App\\sub\\" + name, known);
  const uint32_t crcs[] = {CrcOf(known)};
  session.silent = 1;
  SetCandidates({app});
  EXPECT_FALSE(SearchForFile(name.c_str(), found, crcs, 1, true));
  SetCandidates({});
  EXPECT_FALSE(SearchForFile(name.c_str(), found, crcs, 1, true));  // no browser either
}

TEST_F(LocateTest, WithoutDriveScanTheSearchEndsAfterTheShallowScanOrTheBrowser) {
  const std::string name = Unique("nodrive");
  SetKey(TextKey::ProductName, "Product");
  SetKey(TextKey::BrowsePrompt, "Where is %s installed?");
  std::vector<std::string> texts;
  {
    BoxAnswerer boxes({IDCANCEL});
    SetCandidates({scratch.MakeFolder("App")});
    EXPECT_FALSE(SearchForFile(name.c_str(), found, nullptr, 0, false));
    // No folder known: the browser is offered all the same (cancelled here),
    // then no drive-scan question.
    SetCandidates({});
    EXPECT_FALSE(SearchForFile(name.c_str(), found, nullptr, 0, false));
    texts = boxes.Texts();
  }
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("Where is Product installed?"), std::string::npos) << texts[0];
}

TEST_F(LocateTest, DriveScanAfterYesFindsAFileOnAFixedDrive) {
  const std::string name = Unique("drive");
  const std::string rootFile = "C:\\" + name;
  WriteAll(rootFile, known);
  SetCandidates({scratch.MakeFolder("App")});
  std::vector<std::string> texts;
  bool result;
  {
    BoxAnswerer boxes({IDYES});
    result = SearchForFile(name.c_str(), found, nullptr, 0, true);
    texts = boxes.Texts();
  }
  DeleteFileA(rootFile.c_str());
  EXPECT_TRUE(result);
  EXPECT_STRCASEEQ(found, rootFile.c_str());
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "scan drives for " + name + "?");
  EXPECT_EQ(FirstCandidate(), "C:");
}

TEST_F(LocateTest, WithoutCandidatesTheBrowserIsOfferedThenTheDriveScan) {
  const std::string name = Unique("browse");
  const DriveScanStop stop(name);
  SetKey(TextKey::ProductName, "Product");
  SetKey(TextKey::BrowsePrompt, "Where is %s installed?");
  std::vector<std::string> texts;
  bool result;
  {
    BoxAnswerer boxes({IDCANCEL, IDNO});
    result = SearchForFile(name.c_str(), found, nullptr, 0, true);
    texts = boxes.Texts();
  }
  EXPECT_FALSE(result);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("Where is Product installed?"), std::string::npos) << texts[0];
  EXPECT_EQ(texts[1], "scan drives for " + name + "?");
  EXPECT_STREQ(session.candidateFolders, "");
}

TEST_F(LocateTest, DriveScanQuestionAnsweredNoEndsTheSearch) {
  const std::string name = Unique("nodrivescan");
  const DriveScanStop stop(name);
  SetCandidates({scratch.MakeFolder("App")});
  BoxAnswerer boxes({IDNO});
  EXPECT_FALSE(SearchForFile(name.c_str(), found, nullptr, 0, true));
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(LocateTest, CancelOnTheDriveScanQuestionEndsTheSearchAndMarksTheRunCancelled) {
  const std::string name = Unique("cancel");
  const DriveScanStop stop(name);
  SetCandidates({"C:\\sp-engine-no-such-folder"});
  BoxAnswerer boxes({IDCANCEL});
  EXPECT_FALSE(SearchForFile(name.c_str(), found, nullptr, 0, true));
  EXPECT_EQ(session.cancelled, 1);
  EXPECT_EQ(boxes.Texts().size(), 1u);  // the question alone
}

TEST_F(LocateTest, FolderPathsBeyondTheBufferArePassedOver) {
  // A folder of 250 characters and a 12-character name do not fit 260.
  char pathBuffer[kPathSize];
  std::string folder = "C:\\" + std::string(246, 'f') + "\\";
  strcpy(pathBuffer, folder.c_str());
  EXPECT_FALSE(ScanFolder("toolong1.dll", pathBuffer, 0, nullptr, 0));
  EXPECT_EQ(pathBuffer[kPathSize - 1] == '\0' || strlen(pathBuffer) < kPathSize, true);

  struct Case {
    uint32_t offset;
    const char* part;
    bool fits;
  };
  const Case cases[] = {{0, "", false}, {250, "abcde", true}, {250, "abcdef", false},
                        {3, "PROGRA~1", true}};
  for (const Case& c : cases) {
    char buffer[kPathSize] = "C:\\";
    EXPECT_EQ(AppendPathPart(buffer, c.offset, c.part), c.fits) << c.offset << c.part;
    if (c.fits) EXPECT_STREQ(buffer + c.offset, c.part);
  }
}

}  // namespace
