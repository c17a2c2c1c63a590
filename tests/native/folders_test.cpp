#include "locate/folders.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <memory>
#include <set>
#include <string>

#include "patch/record_name.h"

namespace {

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};
std::set<std::string, NoCaseLess> fakeDirectories;

bool FakeIsDirectory(const char* path) { return fakeDirectories.count(path) != 0; }
bool AsciiEqualNoCase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

char folderText[kCandidateFoldersSize];

std::string List() { return folderText; }

void SetList(const std::string& text) {
  memset(folderText, 0, sizeof folderText);
  memcpy(folderText, text.data(), text.size());
}

class FoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetList("");
    fakeDirectories.clear();
  }
};

}  // namespace

namespace {

const PathSystem kSystem = {IsShiftJisLeadByte, FakeIsDirectory, AsciiEqualNoCase};
const FolderList kList = {folderText, &kSystem};

}  // namespace

TEST_F(FoldersTest, AddFolderFrontOrdersMostRecentFirst) {
  struct Step {
    const char* folder;
    const char* list;
  };
  const Step steps[] = {
      {"C:\\A", "C:\\A;"},
      {"C:\\B", "C:\\B;C:\\A;"},
      {"c:\\a", "c:\\a;C:\\B;"},  // moved entry takes the new letter case
      {"c:\\A", "c:\\a;C:\\B;"},  // equal first entry: unchanged, case included
      {"C:\\C", "C:\\C;c:\\a;C:\\B;"},
      {"c:\\b", "c:\\b;C:\\C;c:\\a;"},  // last entry moved
      {"", "c:\\b;C:\\C;c:\\a;"},       // an empty folder is no folder
  };
  for (const Step& step : steps) {
    AddFolderFront(kList, step.folder);
    EXPECT_EQ(List(), step.list) << "after adding " << step.folder;
  }
}

TEST_F(FoldersTest, AddFolderFrontRemovesOnlyTheFirstEqualEntry) {
  SetList(";;X;A;B;A;");
  AddFolderFront(kList, "a");
  EXPECT_EQ(List(), "a;;;X;B;A;");
}

TEST_F(FoldersTest, AddFolderFrontKeepsAFullListTerminated) {
  const std::string old(8180, 'x');
  SetList(old);
  const std::string folder = "C:\\" + std::string(17, 'f');
  AddFolderFront(kList, folder.c_str());
  EXPECT_EQ(List().size(), 8191u);
  EXPECT_EQ(List(), folder + ";" + old.substr(0, 8170));
  EXPECT_EQ(folderText[8191], '\0');
}

TEST_F(FoldersTest, AddFolderFrontRefusesPathsLongerThanAPathBuffer) {
  const std::string longFolder(kPathSize, 'p');
  AddFolderFront(kList, longFolder.c_str());
  EXPECT_EQ(List(), "");
  const std::string longest(kPathSize - 1, 'p');
  AddFolderFront(kList, longest.c_str());
  EXPECT_EQ(List(), longest + ";");
}

TEST_F(FoldersTest, NextFolderReadsEntries) {
  struct Case {
    std::string text;
    std::vector<std::string> entries;
  };
  const std::string long300 = std::string(255, 'a') + std::string(45, 'b');
  const Case cases[] = {
      {";;;", {}},
      {"", {}},
      {"A;;B;", {"A", "B"}},
      {"C:\\App", {"C:\\App"}},  // the browser's entry has no ';'
      {long300 + ";C:\\X;", {std::string(255, 'a'), std::string(45, 'b'), "C:\\X"}},
  };
  for (const Case& c : cases) {
    const char* cursor = c.text.c_str();
    char out[kFolderEntrySize];
    std::vector<std::string> read;
    while (NextFolder(cursor, out)) read.push_back(out);
    EXPECT_EQ(read, c.entries) << c.text;
    EXPECT_EQ(*cursor, '\0');
  }
}

TEST_F(FoldersTest, NextFolderLeavesOutUntouchedAtTheEnd) {
  const char* cursor = ";;";
  char out[kFolderEntrySize] = "kept";
  EXPECT_FALSE(NextFolder(cursor, out));
  EXPECT_STREQ(out, "kept");
}

TEST_F(FoldersTest, IsTrailByteCountsTheRunOfLeadBytes) {
  struct Case {
    const char* text;
    size_t at;
    bool trail;
  };
  const Case cases[] = {
      {"\x95\x5C", 1, true},          // 0x95 0x5C is one character
      {"\x83\x83\x5C", 2, false},     // two lead bytes are one character
      {"\x83\x83\x83\x5C", 3, true},  // odd run
      {"a\x5C", 1, false},
      {"\x5C", 0, false},             // nothing before the start counts
      {"\x41\x95\x5C", 2, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsTrailByte(kSystem, c.text, c.text + c.at), c.trail) << "case at " << c.at;
  }
}

TEST_F(FoldersTest, FindFileNamePartFindsTheLastSeparator) {
  struct Case {
    const char* path;
    const char* name;
  };
  const Case cases[] = {
      {"C:\\dir\\file.exe", "file.exe"},
      {"file.exe", "file.exe"},
      {"C:file.exe", "file.exe"},
      {"a/b/c.txt", "c.txt"},
      {"C:\\dir\\", ""},
      {"", ""},
      {"C:\\\x95\x5C.dll", "\x95\x5C.dll"},   // 0x5C as a second byte is no separator
      {"C:\\d\\\x83\x83\\x", "x"},           // after an even run it is one
      {"sub\\\x95\x5C", "\x95\x5C"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(FindFileNamePart(kSystem, c.path), c.name) << c.path;
  }
}

TEST_F(FoldersTest, AddParentFolderAddsTheFolderPart) {
  struct Case {
    const char* path;
    const char* list;
  };
  const Case cases[] = {
      {"C:\\App\\bin\\x.dll", "C:\\App\\bin;"},
      {"C:\\x.dll", "C:;"},
      {"\\file.exe", ""},
      {"file.exe", ""},
      {"C:\\\x95\x5C\\x.dll", "C:\\\x95\x5C;"},
  };
  for (const Case& c : cases) {
    SetList("");
    char path[kPathSize];
    strcpy(path, c.path);
    AddParentFolder(kList, path);
    EXPECT_EQ(List(), c.list) << c.path;
    EXPECT_STREQ(path, c.path) << "path restored";
  }
}

TEST_F(FoldersTest, EnsureTrailingSeparator) {
  struct Case {
    const char* path;
    const char* result;
  };
  const Case cases[] = {
      {"", ""},
      {"C:", "C:"},
      {"C:\\dir\\", "C:\\dir\\"},
      {"C:/dir/", "C:/dir/"},
      {"C:\\dir", "C:\\dir\\"},
      {"C:\\\x95\x5C", "C:\\\x95\x5C\\"},
  };
  for (const Case& c : cases) {
    char path[kPathSize];
    strcpy(path, c.path);
    EXPECT_TRUE(EnsureTrailingSeparator(kSystem, path, sizeof path));
    EXPECT_STREQ(path, c.result) << c.path;
  }
}

TEST_F(FoldersTest, EnsureTrailingSeparatorRefusesAFullBuffer) {
  char path[8] = "C:\\abcd";  // 7 characters and the NUL: no room
  EXPECT_FALSE(EnsureTrailingSeparator(kSystem, path, sizeof path));
  EXPECT_STREQ(path, "C:\\abcd");
  char roomy[9] = "C:\\abcd";
  EXPECT_TRUE(EnsureTrailingSeparator(kSystem, roomy, sizeof roomy));
  EXPECT_STREQ(roomy, "C:\\abcd\\");
}

TEST_F(FoldersTest, AddIfDirectory) {
  fakeDirectories = {"C:\\App"};
  EXPECT_FALSE(AddIfDirectory(kList, "C:\\App\\x.exe"));
  EXPECT_EQ(List(), "");
  EXPECT_TRUE(AddIfDirectory(kList, "C:\\App"));
  EXPECT_EQ(List(), "C:\\App;");
}

TEST_F(FoldersTest, AddLongestExistingPrefix) {
  struct Case {
    std::set<std::string, NoCaseLess> directories;
    std::string text;
    size_t length;
    size_t result;
    const char* list;
  };
  const std::string deep = "C:\\" + std::string(300, 'd');
  const Case cases[] = {
      {{"C:\\App"}, "C:\\App\\data.bin", 15, 6, "C:\\App;"},
      {{"C:\\"}, "C:\\App\\data.bin", 15, 0, ""},  // no prefix shorter than 3 is tried
      {{"C:\\"}, "C:\\", 3, 3, "C:\\;"},          // a root as the whole text
      {{"C:\\App\\"}, "C:\\App\\", 7, 7, "C:\\App\\;"},
      {{"C:\\A", "C:\\A\\B"}, "C:\\A\\B\\C", 8, 6, "C:\\A\\B;"},  // longest wins
      {{"C:\\A"}, "C:\\A\\B/x", 8, 4, "C:\\A;"},                  // '/' cuts too
      {{"C:\\A\\B"}, "C:\\A\\B C", 6, 6, "C:\\A\\B;"},          // only `length` counts
      {{deep.substr(0, 259)}, deep, deep.size(), 259, nullptr},   // capped at 259
  };
  for (const Case& c : cases) {
    SetList("");
    fakeDirectories = c.directories;
    EXPECT_EQ(AddLongestExistingPrefix(kList, c.text.c_str(), c.length), c.result) << c.text;
    if (c.list) {
      EXPECT_EQ(List(), c.list) << c.text;
    }
  }
}

TEST_F(FoldersTest, AddFoldersFromText) {
  struct Case {
    std::set<std::string, NoCaseLess> directories;
    const char* text;
    bool added;
    const char* list;
  };
  const Case cases[] = {
      {{"C:\\App"}, "C:\\App", true, "C:\\App;"},
      {{"C:\\Program Files\\App"}, "C:\\Program Files\\App\\uninst.exe /S", true,
       "C:\\Program Files\\App;"},
      {{"C:\\Program Files\\App"}, "C:\\Program Files\\App\\app.exe,0", true,
       "C:\\Program Files\\App;"},
      {{"C:\\Program Files\\App"}, "\"C:\\Program Files\\App\\app.exe\" /x", true,
       "C:\\Program Files\\App;"},
      {{"C:\\My App"}, "run 'C:\\My App\\a.exe' now", true, "C:\\My App;"},
      {{"C:\\A", "D:\\B"}, "x C:\\A\\a.exe D:\\B\\b.exe", true, "D:\\B;C:\\A;"},
      {{"\\\\server\\share"}, "open \\\\server\\share\\x.exe", true, "\\\\server\\share;"},
      {{}, "C:\\Nothing\\here.exe", false, ""},
      {{}, "", false, ""},
  };
  for (const Case& c : cases) {
    SetList("");
    fakeDirectories = c.directories;
    EXPECT_EQ(AddFoldersFromText(kList, c.text), c.added) << c.text;
    EXPECT_EQ(List(), c.list) << c.text;
  }
}

TEST_F(FoldersTest, AddFoldersFromTextStopsAtAFolderThatEndsTheText) {
  // The found folder runs to the very end: the scan must not step past the NUL.
  const std::string text = "x C:\\A";
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  memcpy(exact.get(), text.c_str(), text.size() + 1);
  fakeDirectories = {"C:\\A"};
  EXPECT_TRUE(AddFoldersFromText(kList, exact.get()));
  EXPECT_EQ(List(), "C:\\A;");
}

TEST_F(FoldersTest, MakeNewFilePath) {
  struct Case {
    const char* list;
    const char* name;
    bool fits;
    const char* path;
  };
  const Case cases[] = {
      {"C:\\App;", "x.dat", true, "C:\\App\\x.dat"},
      {"", "x.dat", true, "x.dat"},
      {"C:\\App\\;D:\\;", "sub\\x.dat", true, "C:\\App\\sub\\x.dat"},
      {"C:\\App", "x.dat", true, "C:\\App\\x.dat"},
  };
  for (const Case& c : cases) {
    SetList(c.list);
    char out[kPathSize];
    EXPECT_EQ(MakeNewFilePath(kList, c.name, out), c.fits) << c.list;
    EXPECT_STREQ(out, c.path) << c.list;
  }
}

TEST_F(FoldersTest, MakeNewFilePathRefusesAPathThatDoesNotFit) {
  const std::string folder(250, 'f');
  SetList(folder + ";");
  char out[kPathSize];
  EXPECT_TRUE(MakeNewFilePath(kList, std::string(8, 'n').c_str(), out));  // 250 + 1 + 8 = 259
  EXPECT_EQ(strlen(out), 259u);
  EXPECT_FALSE(MakeNewFilePath(kList, std::string(9, 'n').c_str(), out));
  SetList(std::string(255, 'f') + ";");
  EXPECT_FALSE(MakeNewFilePath(kList, std::string(4, 'n').c_str(), out));
}
