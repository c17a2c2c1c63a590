// Whole record walks on real files: the choice of record for each installed
// copy, chains of versions, created and missing files, the counters and the
// messages, and replacement of files in use.
#include "engine/records.h"

#include <gtest/gtest.h>

#include "engine/replace.h"
#include "engine_fixture.h"
#include "patch/crc32.h"
#include "tests/win/session_keys.h"
#include "tests/support/simple_delta.h"

using namespace testing_engine;

namespace {

constexpr uint64_t kStamp = 0x01D2345678ABCDEFull;  // a FILETIME in 2016

bool ApplyArea(const Bytes& area) { return ApplyRecords(area.data(), uint32_t(area.size())); }

// A walk whose message boxes are answered in order (OK when not told).
struct Outcome {
  bool result;
  std::vector<std::string> texts;
};
Outcome ApplyAnswering(const std::vector<PatchRecord>& records, std::vector<int> answers = {}) {
  BoxAnswerer boxes(std::move(answers));
  const bool result = ApplyArea(RecordsArea(records));
  return Outcome{result, boxes.Texts()};
}

uint64_t LastWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
}

// Takes out of the recycle bin of the Wine prefix ($XDG_DATA_HOME/Trash on
// drive Z:) every file recycled under `name` and returns their contents.
std::vector<Bytes> TakeTrashed(const std::string& name) {
  std::vector<Bytes> contents;
  char home[MAX_PATH] = "";
  if (!GetEnvironmentVariableA("XDG_DATA_HOME", home, sizeof home)) return contents;
  std::string trash = std::string("Z:") + home + "/Trash";
  for (char& c : trash) {
    if (c == '/') c = '\\';
  }
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((trash + "\\files\\" + name + "*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return contents;
  do {
    const std::string stored = entry.cFileName;  // the name, or the name and "-" and a tag
    if (stored != name && stored.rfind(name + "-", 0) != 0) continue;
    const std::string file = trash + "\\files\\" + stored;
    contents.push_back(ReadAll(file));
    DeleteFileA(file.c_str());
    DeleteFileA((trash + "\\info\\" + stored + ".trashinfo").c_str());
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  return contents;
}

// Holds a file open the way a running program does: others may read and
// write it, but neither delete nor rename it.
class FileHolder {
 public:
  explicit FileHolder(const std::string& path)
      : handle_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~FileHolder() { Release(); }
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (held()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// The renames waiting for the next start, as the system keeps them.
std::string PendingRenames() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
    return "";
  }
  char data[8192] = "";
  DWORD size = sizeof data - 2;
  RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                   reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  std::string text(data, size);
  for (char& c : text) {
    if (c == '\0') c = '|';
  }
  return text;
}

void ForgetPendingRenames() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_WRITE, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, "PendingFileRenameOperations");
    RegCloseKey(key);
  }
}

// A folder more than 200 characters deep below `scratch`.
std::string DeepFolder(const ScratchFolder& scratch) {
  std::string deep = scratch.path();
  while (deep.size() < 200) {
    deep += "\\" + std::string(40, 'd');
    CreateDirectoryA(deep.c_str(), nullptr);
  }
  return deep;
}

class RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSession();
    SetKey(TextKey::ProductName, "Product");
    SetKey(TextKey::ToVersion, "3.0");
    SetKey(TextKey::FileNotFound, "missing %s");
    SetKey(TextKey::OtherVersion, "other version %s");
    SetKey(TextKey::CannotOpen, "cannot open %s (%u)");
    SetKey(TextKey::CannotMap, "cannot map %s (%u)");
    SetKey(TextKey::CannotCreateTemp, "cannot create %s");
    SetKey(TextKey::UpdateFailed, "failed %s");
    SetKey(TextKey::RenameFailed, "rename %s to %s by hand");
    SetKey(TextKey::NotUpdated, "not updated %s %s");
    SetKey(TextKey::AllUpToDate, "all up to date");
  }
  void TearDown() override {
    for (const std::string& name : names_) TakeTrashed(name);
  }
  // A file name of this test alone; whatever it leaves in the recycle bin goes.
  std::string Unique(const char* stem, const std::string& tag = "") {
    names_.push_back(std::string(stem) + std::to_string(GetCurrentProcessId()) + tag + ".dll");
    return names_.back();
  }
  ScratchFolder scratch;

 private:
  std::vector<std::string> names_;
};

TEST_F(RecordsTest, ThreeRecordGroupBringsEveryKnownStateToVersionThree) {
  enum Installed { Nothing, Version1, Version2, Version3, Unknown };
  struct Case {
    const char* what;
    Installed installed;
    int updated;
    bool recycled;
  };
  const Case cases[] = {
      {"version 1 through 2 to 3 in one run", Version1, 1, true},
      {"version 2 in one step", Version2, 1, true},
      {"version 3 left alone", Version3, 0, false},
      {"unknown content replaced by the full record", Unknown, 1, true},
      {"nothing installed: created", Nothing, 1, false},
  };
  for (const Case& c : cases) {
    ScratchFolder folder;
    const std::string name = Unique("tool", std::to_string(c.installed));
    const VersionedFile file = MakeVersionedFile(name, kStamp);
    const std::string f1 = folder.MakeFolder("F1");
    const std::string f2 = folder.MakeFolder("F2");
    const std::string target = f1 + "\\" + name;
    const Bytes* installed[] = {nullptr, &file.v1, &file.v2, &file.v3, nullptr};
    const Bytes unknown = Text("a build nobody knows");
    if (installed[c.installed]) WriteAll(target, *installed[c.installed]);
    if (c.installed == Unknown) WriteAll(target, unknown);
    const uint64_t stampBefore = LastWriteTime(target);

    ResetSession();
    session.silent = 1;
    SetCandidates({f1, f2});
    EXPECT_TRUE(ApplyArea(RecordsArea({file.r1, file.r2, file.r3}))) << c.what;
    EXPECT_EQ(session.updatedCount, c.updated) << c.what;
    EXPECT_EQ(session.failureCount, 0u) << c.what;
    EXPECT_EQ(ReadAll(target), file.v3) << c.what;
    EXPECT_FALSE(Exists(target + ".~up")) << c.what;
    EXPECT_FALSE(Exists(f2 + "\\" + name)) << c.what;
    EXPECT_EQ(LastWriteTime(target), c.updated ? kStamp : stampBefore) << c.what;

    // Only the installed file goes to the recycle bin, never an intermediate version.
    const std::vector<Bytes> trashed = TakeTrashed(name);
    if (c.recycled) {
      const Bytes& old = c.installed == Unknown ? unknown : *installed[c.installed];
      EXPECT_EQ(trashed, std::vector<Bytes>{old}) << c.what;
    } else {
      EXPECT_TRUE(trashed.empty()) << c.what;
    }
  }
}

TEST_F(RecordsTest, CopiesInTwoCandidateFoldersAreBothReplacedInFolderOrder) {
  const std::string name = Unique("twice");
  const VersionedFile file = MakeVersionedFile(name);
  const std::string f1 = scratch.MakeFolder("F1");
  const std::string f2 = scratch.MakeFolder("F2");
  WriteAll(f1 + "\\" + name, file.v1);
  WriteAll(f2 + "\\" + name, file.v2);
  session.silent = 1;
  SetCandidates({f1, f2});
  EXPECT_TRUE(ApplyArea(RecordsArea({file.r1, file.r2, file.r3})));
  EXPECT_EQ(session.updatedCount, 2);
  EXPECT_EQ(ReadAll(f1 + "\\" + name), file.v3);
  EXPECT_EQ(ReadAll(f2 + "\\" + name), file.v3);
}

TEST_F(RecordsTest, ReadOnlyHiddenOrSystemTargetIsReplacedWithPlainAttributes) {
  const DWORD attributes[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,
                              FILE_ATTRIBUTE_SYSTEM,
                              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM};
  for (DWORD attribute : attributes) {
    ScratchFolder folder;
    const std::string name = Unique("attr", std::to_string(attribute));
    const VersionedFile file = MakeVersionedFile(name);
    const std::string target = folder.Write(name, file.v2);
    SetFileAttributesA(target.c_str(), attribute);
    ResetSession();
    session.silent = 1;
    SetCandidates({folder.path()});
    EXPECT_TRUE(ApplyArea(RecordsArea({file.r2})));
    EXPECT_EQ(ReadAll(target), file.v3) << attribute;
    EXPECT_EQ(GetFileAttributesA(target.c_str()) & 7, 0u) << attribute;
  }
}

TEST_F(RecordsTest, WrongResultShowsKey29AndLeavesTheTargetAlone) {
  const std::string name = Unique("crc");
  VersionedFile file = MakeVersionedFile(name);
  file.r1.newCrc ^= 1;
  const std::string target = scratch.Write(name, file.v1);
  SetCandidates({scratch.path()});
  const Outcome outcome = ApplyAnswering({file.r1});
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.texts, std::vector<std::string>{"failed " + target});
  EXPECT_EQ(ReadAll(target), file.v1);
  EXPECT_FALSE(Exists(target + ".~up"));
  EXPECT_EQ(session.updatedCount, 0);
}

TEST_F(RecordsTest, CopyOfAnotherVersionIsReportedAndCounted) {
  const std::string name = Unique("otherver");
  const VersionedFile file = MakeVersionedFile(name);
  const std::string target = scratch.Write(name, Text("neither version"));
  SetCandidates({scratch.path()});
  // Only deltas: the path search finds the copy, and no record fits it.
  const Outcome outcome = ApplyAnswering({file.r1, file.r2});
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(session.failureCount, 1u);
  EXPECT_EQ(outcome.texts, 
            (std::vector<std::string>{"other version " + target, "not updated Product 3.0"}));
}

TEST_F(RecordsTest, MissingFileIsCountedUnlessThePatchLeavesItsMessageEmpty) {
  struct Case {
    bool silent;
    const char* missingText;  // key 23; empty: the patch lets the file pass
    bool result;
    uint32_t failures;
    std::vector<std::string> texts;
  };
  const std::string name = Unique("missing");
  const Case cases[] = {
      {true, "missing %s", false, 1, {}},
      {false, "missing %s", false, 1, {"scan drives?", "missing " + name, "not updated Product 3.0"}},
      {false, "", true, 0, {"scan drives?", "all up to date"}},
      {true, "", true, 0, {}},
  };
  const VersionedFile file = MakeVersionedFile(name);
  for (const Case& c : cases) {
    ResetSession();
    SetUp();
    session.silent = c.silent;
    SetKey(TextKey::FileNotFound, c.missingText);
    SetKey(TextKey::DriveScanSlow, "scan drives?");
    SetCandidates({scratch.path()});
    // Deltas only: not creatable, not optional. No to the drive scan.
    const Outcome outcome = ApplyAnswering({file.r1, file.r2}, {IDNO});
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(session.failureCount, c.failures);
    EXPECT_EQ(outcome.texts, c.texts);
  }
}

TEST_F(RecordsTest, NothingToDoEndsWithKey36) {
  const std::string name = Unique("uptodate");
  const VersionedFile file = MakeVersionedFile(name);
  scratch.Write(name, file.v3);
  SetCandidates({scratch.path()});
  BoxAnswerer boxes({});
  EXPECT_TRUE(ApplyArea(RecordsArea({file.r1, file.r2, file.r3})));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"all up to date"});
}

TEST_F(RecordsTest, EmptyInstalledCopyIsMatchedLikeAnyOtherFile) {
  const std::string name = Unique("empty");
  const VersionedFile file = MakeVersionedFile(name);
  const std::string target = scratch.Write(name, Bytes{});
  session.silent = 1;
  SetCandidates({scratch.path()});
  EXPECT_TRUE(ApplyArea(RecordsArea({file.r1, file.r3})));
  EXPECT_EQ(session.updatedCount, 1);
  EXPECT_EQ(ReadAll(target), file.v3);
}

TEST_F(RecordsTest, ChainLeadingBackToAnEarlierVersionStopsAndCountsAsAFailure) {
  const std::string name = Unique("cycle");
  const VersionedFile file = MakeVersionedFile(name);
  const PatchRecord back = DeltaRecord(name, file.v2, SimpleDelta(file.v2, file.v1));
  const std::string target = scratch.Write(name, file.v1);
  SetCandidates({scratch.path()});
  const Outcome outcome = ApplyAnswering({file.r1, back});
  // Two steps, 1 to 2 and 2 back to 1, then the bound: the new version was
  // never reached, so the file is reported like one of an unknown version.
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(session.updatedCount, 0);
  EXPECT_EQ(session.failureCount, 1u);
  EXPECT_EQ(outcome.texts, (std::vector<std::string>{"other version " + target,
                                                     "not updated Product 3.0"}));
  EXPECT_EQ(ReadAll(target), file.v1);
  EXPECT_FALSE(Exists(target + ".~up"));
}

TEST_F(RecordsTest, TargetPathTooLongForItsTemporaryNameIsRefusedWithKey28) {
  const std::string deep = DeepFolder(scratch);
  const std::string name = std::string(257 - deep.size() - 1 - 4, 'n') + ".dll";
  const VersionedFile file = MakeVersionedFile(name);
  const std::string target = deep + "\\" + name;
  ASSERT_EQ(target.size(), 257u);
  WriteAll(target, file.v1);
  ASSERT_TRUE(Exists(target));
  SetCandidates({deep});
  const Outcome outcome = ApplyAnswering({file.r1});
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.texts, std::vector<std::string>{"cannot create " + target + ".~up"});
  EXPECT_EQ(ReadAll(target), file.v1);
}

TEST_F(RecordsTest, HeldTargetIsDeferredAndTheChainContinuesOnTheWaitingFile) {
  const std::string name = Unique("held");
  const VersionedFile file = MakeVersionedFile(name);
  const std::string target = scratch.Write(name, file.v1);
  FileHolder holder(target);
  ASSERT_TRUE(holder.held());
  session.silent = 1;
  SetCandidates({scratch.path()});
  EXPECT_TRUE(ApplyArea(RecordsArea({file.r1, file.r2, file.r3})));
  holder.Release();
  const std::string pending = PendingRenames();
  ForgetPendingRenames();

  EXPECT_EQ(session.rebootNeeded, 1u);
  EXPECT_EQ(session.updatedCount, 1);
  EXPECT_EQ(ReadAll(target), file.v1) << "the target waits for the restart";
  EXPECT_EQ(ReadAll(target + ".~up"), file.v3) << "the waiting file carries the last version";
  EXPECT_FALSE(Exists(target + ".~up.~up"));
  EXPECT_NE(pending.find(name + ".~up|"), std::string::npos) << pending;
  EXPECT_NE(pending.find(target), std::string::npos) << pending;
}

TEST_F(RecordsTest, HeldTargetOnThe9xFamilyIsRenamedThroughWininit) {
  const std::string name = Unique("nine");
  const VersionedFile file = MakeVersionedFile(name);
  const std::string target = scratch.Write(name, file.v1);
  const Bytes area = RecordsArea({file.r1});
  FileRecord record;
  ASSERT_TRUE(ReadRecord(View(area), 0, record));
  char targetPath[kEnginePathSize];
  char tempPath[kEnginePathSize];
  strcpy(targetPath, target.c_str());
  MappedFile old{};
  ASSERT_TRUE(OpenMappedFile(targetPath, true, 0, old));
  ChainOutcome result;
  {
    FileHolder holder(target);
    result = ApplyRecordChain(View(area), 0, uint32_t(area.size()), record, old, targetPath,
                              tempPath, false);
  }
  char shortTarget[MAX_PATH];
  char shortTemp[MAX_PATH];
  GetShortPathNameA(target.c_str(), shortTarget, MAX_PATH);
  GetShortPathNameA((target + ".~up").c_str(), shortTemp, MAX_PATH);
  char value[MAX_PATH] = "";
  GetPrivateProfileStringA("rename", shortTarget, "", value, sizeof value, "WININIT.INI");
  WritePrivateProfileStringA("rename", nullptr, nullptr, "WININIT.INI");

  EXPECT_EQ(result, ChainOutcome::Finished);
  EXPECT_EQ(session.rebootNeeded, 1u);
  EXPECT_STRCASEEQ(value, shortTemp);
  EXPECT_EQ(ReadAll(target + ".~up"), file.v2);
}

TEST_F(RecordsTest, ChainThatWouldOverflowWithTheSecondSuffixEndsWithKey28) {
  const std::string deep = DeepFolder(scratch);
  // 254 characters: ".~up" fits once (258), not twice (262).
  const std::string name = std::string(254 - deep.size() - 1 - 4, 'm') + ".dll";
  const VersionedFile file = MakeVersionedFile(name);
  const std::string target = deep + "\\" + name;
  ASSERT_EQ(target.size(), 254u);
  WriteAll(target, file.v1);
  SetCandidates({deep});
  FileHolder holder(target);
  const Outcome outcome = ApplyAnswering({file.r1, file.r2});
  holder.Release();
  ForgetPendingRenames();
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.texts, std::vector<std::string>{"cannot create " + target + ".~up.~up"});
  EXPECT_EQ(ReadAll(target + ".~up"), file.v2) << "the verified first step stays";
}

}  // namespace

TEST_F(RecordsTest, VerifiedFileLeftWaitingBesideAnEmptyNameIsPutInPlace) {
  struct Case {
    const char* what;
    int waiting;       // content of "<name>.~up": 1, 2, 3 (versions) or 0 (other)
    bool installed;    // version 1 under the name itself
    bool recovered;    // the waiting file is what ends up under the name
    int finalVersion;  // 0: the name stays empty
  };
  const Case cases[] = {
      {"final version waiting", 3, false, true, 3},
      {"intermediate version waiting, chained on", 2, false, true, 3},
      {"old version waiting", 1, false, false, 0},
      {"other content waiting", 0, false, false, 0},
      {"name not empty", 3, true, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetSession();
    SetUp();
    session.silent = 1;
    const std::string name = Unique("waiting", std::to_string(c.waiting) + (c.installed ? "i" : ""));
    const VersionedFile file = MakeVersionedFile(name);
    const Bytes other = Text("not a version of this file");
    const Bytes* versions[] = {&other, &file.v1, &file.v2, &file.v3};
    const std::string target = scratch.Path(name);
    const std::string waiting = scratch.Write(name + ".~up", *versions[c.waiting]);
    if (c.installed) scratch.Write(name, file.v1);
    SetCandidates({scratch.path()});

    BoxAnswerer boxes({});
    // Deltas only: never created. A silent run counts a missing file.
    const bool missing = c.finalVersion == 0;
    EXPECT_EQ(ApplyArea(RecordsArea({file.r1, file.r2})), !missing);
    EXPECT_EQ(session.failureCount, missing ? 1u : 0u);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{});
    if (c.finalVersion) {
      EXPECT_EQ(ReadAll(target), file.v3);
    } else {
      EXPECT_FALSE(Exists(target));
    }
    EXPECT_EQ(Exists(waiting), !c.recovered && !c.installed);
    if (Exists(waiting)) EXPECT_EQ(ReadAll(waiting), *versions[c.waiting]);
  }
}

TEST_F(RecordsTest, WaitingFileOnTheSearchPathIsPutInPlaceWhenNoFolderIsKnown) {
  const std::string name = Unique("pathwaiting");
  const VersionedFile file = MakeVersionedFile(name);
  const std::string waiting = scratch.Write(name + ".~up", file.v3);
  char previous[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, previous);
  SetCurrentDirectoryA(scratch.path().c_str());  // the current folder is on the search path
  session.silent = 1;
  BoxAnswerer boxes({});
  EXPECT_TRUE(ApplyArea(RecordsArea({file.r1, file.r2})));
  SetCurrentDirectoryA(previous);
  EXPECT_EQ(ReadAll(scratch.Path(name)), file.v3);
  EXPECT_FALSE(Exists(waiting));
}

TEST_F(RecordsTest, CancelOnTheDriveScanEndsTheWalkAtOnceWithNothingMoreShown) {
  const std::string missing = Unique("cancelmissing");
  const std::string later = Unique("cancellater");
  const VersionedFile gone = MakeVersionedFile(missing);
  const VersionedFile kept = MakeVersionedFile(later);
  const std::string laterPath = scratch.Write(later, kept.v1);
  SetKey(TextKey::DriveScanSlow, "scan drives?");
  SetCandidates({scratch.path()});
  // Deltas only: the missing file is neither created nor optional, so the drive
  // scan is offered; Cancel.
  const Outcome outcome = ApplyAnswering({gone.r1, gone.r2, kept.r1, kept.r2}, {IDCANCEL});
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(session.cancelled, 1);
  EXPECT_EQ(outcome.texts, std::vector<std::string>{"scan drives?"});
  EXPECT_EQ(ReadAll(laterPath), kept.v1);  // the walk went no further
  EXPECT_EQ(session.failureCount, 0u);
}
