// Dry runs of patches over old folders: the record the installer would apply
// to each folder's copy, the chain it follows, and the verdict, with patches
// from the writers and folders in the test's temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "builder/pack.h"
#include "builder/pack_stub.h"
#include "builder/verify.h"
#include "patch/crc32.h"
#include "patch/records.h"
#include "tests/support/simple_delta.h"

namespace {

namespace fs = std::filesystem;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
uint32_t CrcOf(const Bytes& bytes) { return Crc32(bytes.data(), uint32_t(bytes.size())); }

// Three versions of a program: each a few bytes changed and some added.
const Bytes kV1 = Text("MZ program version one; code code code code; data data data data; end");
const Bytes kV2 = Text("MZ program version two; code code CODE code; data data data data; end!!");
const Bytes kV3 = Text("MZ program version 3.0; code code CODE code; data DATA data data; the end!!");
const Bytes kOther = Text("MZ a build nobody released");

PatchRecord Delta(const std::string& name, const Bytes& from, const Bytes& to, uint32_t flags = 0) {
  return DeltaRecord(name, from, SimpleDelta(from, to), flags);
}

// app.exe 1 -> 2 -> 3 by deltas, and its full content.
std::vector<PatchRecord> ChainGroup(const std::string& name = "app.exe", uint32_t flags = 0) {
  return {Delta(name, kV1, kV2, flags), Delta(name, kV2, kV3), FullRecord(name, kV3)};
}

Bytes Patch(const std::vector<PatchRecord>& records) {
  PatchFile patch;
  patch.SetText(0, "Sample");
  patch.records = records;
  return WritePatch(patch);
}

// A fresh folder below the test's temporary directory holding `files`
// (relative paths with '/'; a path ending in '/' makes only a folder).
fs::path Folder(const std::string& name, const std::map<std::string, Bytes>& files) {
  const fs::path folder = fs::path(::testing::TempDir()) / "verify" / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  for (const auto& [path, content] : files) {
    const fs::path file = folder / path;
    fs::create_directories(file.parent_path());
    if (path.back() == '/') continue;
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                std::streamsize(content.size()));
  }
  return folder;
}

VerifyReport Verify(const Bytes& patch, const std::vector<fs::path>& folders) {
  return VerifyPatch(ByteView{patch.data(), uint32_t(patch.size())}, folders);
}

struct FolderCase {
  const char* name;
  std::vector<PatchRecord> records;
  std::map<std::string, Bytes> files;
  const char* action;
  bool ok;
  uint32_t resultCrc;
  const char* detail;  // a part of the row's detail
};

TEST(VerifyPatch, DecidesAsTheInstallerForEachFolder) {
  const std::vector<FolderCase> cases = {
      {"version 1 chains to 3", ChainGroup(), {{"app.exe", kV1}}, "chain", true, CrcOf(kV3),
       "delta"},
      {"version 2 takes one delta", ChainGroup(), {{"app.exe", kV2}}, "delta", true, CrcOf(kV3), ""},
      {"version 3 is already new", ChainGroup(), {{"app.exe", kV3}}, "already new", true, CrcOf(kV3), ""},
      {"another build gets the full content", ChainGroup(), {{"app.exe", kOther}}, "full", true, CrcOf(kV3),
       "full"},
      {"a missing file is created", ChainGroup(), {}, "created", true, CrcOf(kV3), ""},
      {"names compare without case", ChainGroup("App.EXE"), {{"aPP.exe", kV1}}, "chain", true, CrcOf(kV3), ""},
      {"a file in a subfolder is created there", {FullRecord("lib\\core.dll", kV3)}, {{"lib/", {}}}, "created",
       true, CrcOf(kV3), ""},
      {"a missing subfolder stops the creation", {FullRecord("lib\\core.dll", kV3)}, {}, "not created", false, 0,
       "does not exist"},
      {"deltas only: another build", {Delta("app.exe", kV1, kV2), Delta("app.exe", kV2, kV3)},
       {{"app.exe", kOther}}, "unknown version", false, CrcOf(kOther), "key 25"},
      {"deltas only: missing", {Delta("app.exe", kV1, kV2), Delta("app.exe", kV2, kV3)}, {}, "missing", false, 0,
       "key 23"},
      {"optional and missing", {Delta("app.exe", kV1, kV2, FlagOptional)}, {}, "missing (optional)", true, 0, ""},
      {"no-create and missing", ChainGroup("app.exe", FlagNoCreate), {}, "missing (no-create)", true, 0, ""},
      {"an exact match that does not reach the new version", {Delta("app.exe", kV1, kV2), FullRecord("app.exe", kV3)},
       {{"app.exe", kV1}}, "delta", false, CrcOf(kV2), "ends before the new version"},
      {"a 9x-only record does not begin the group",
       {FullRecord("app.exe", kV3, Platform9x), Delta("app.exe", kV2, kV3)}, {{"app.exe", kOther}},
       "unknown version", false, CrcOf(kOther), ""},
      {"a 9x-only record inside a group counts",
       {Delta("app.exe", kV2, kV3), FullRecord("app.exe", kV3, Platform9x)}, {{"app.exe", kOther}}, "full", true,
       CrcOf(kV3), ""},
      {"an NT-only record begins it", {Delta("app.exe", kV2, kV3, PlatformNt)}, {{"app.exe", kV2}}, "delta", true,
       CrcOf(kV3), ""},
  };
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = Folder("case", c.files);
    const VerifyReport report = Verify(Patch(c.records), {folder});
    ASSERT_EQ(report.rows.size(), 1u);
    const VerifyRow& row = report.rows[0];
    EXPECT_EQ(row.action, c.action);
    EXPECT_EQ(row.ok, c.ok) << row.detail;
    EXPECT_EQ(report.ok, c.ok);
    EXPECT_EQ(row.resultCrc, c.resultCrc);
    EXPECT_EQ(row.oldFolder, folder.string());
    EXPECT_NE(row.detail.find(c.detail), std::string::npos) << row.detail;
  }
}

// Records for one family only begin a group in that family's run alone; once
// a group has begun, every record of its name belongs to it.
TEST(VerifyPatch, PassesOverRecordsForTheOtherFamily) {
  const std::vector<PatchRecord> fullFor9x = {FullRecord("app.exe", kV3, Platform9x),
                                              Delta("app.exe", kV2, kV3, PlatformNt)};
  const struct {
    const char* name;
    WindowsFamily family;
    std::vector<PatchRecord> records;
    std::vector<std::string> actions;
    bool ok;
  } cases[] = {
      {"9x: its record begins the group", WindowsFamily::Win9x,
       {FullRecord("app.exe", kV3, Platform9x), Delta("app.exe", kV2, kV3)}, {"full"}, true},
      {"9x: an NT-only group is passed over", WindowsFamily::Win9x, {Delta("app.exe", kV2, kV3, PlatformNt)}, {},
       true},
      {"NT: a 9x-only group is passed over", WindowsFamily::Nt, {FullRecord("app.exe", kV3, Platform9x)}, {}, true},
      {"9x: the full content is the fallback", WindowsFamily::Win9x, fullFor9x, {"full"}, true},
      {"NT: there is no fallback", WindowsFamily::Nt, fullFor9x, {"unknown version"}, false},
  };
  const fs::path folder = Folder("family", {{"app.exe", kOther}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes patch = Patch(c.records);
    const VerifyReport report = VerifyPatch(ByteView{patch.data(), uint32_t(patch.size())}, {folder}, 0, c.family);
    EXPECT_EQ(report.family, c.family);
    std::vector<std::string> actions;
    for (const VerifyRow& row : report.rows) actions.push_back(row.action);
    EXPECT_EQ(actions, c.actions);
    EXPECT_EQ(report.ok, c.ok);
  }
  std::ostringstream printed;
  const Bytes patch = Patch(fullFor9x);
  PrintVerifyReport(printed, VerifyPatch(ByteView{patch.data(), uint32_t(patch.size())}, {folder}, 0,
                                         WindowsFamily::Win9x));
  EXPECT_NE(printed.str().find("9x family"), std::string::npos);
}

TEST(VerifyEachFamily, AddsThe9xFamilyOnlyForItsOwnRecords) {
  const auto families = [](const std::vector<PatchRecord>& records) {
    const Bytes patch = Patch(records);
    std::vector<WindowsFamily> verified;
    for (const VerifyReport& report : VerifyEachFamily(ByteView{patch.data(), uint32_t(patch.size())}, {}))
      verified.push_back(report.family);
    return verified;
  };
  const std::vector<WindowsFamily> ntOnly = {WindowsFamily::Nt};
  const std::vector<WindowsFamily> both = {WindowsFamily::Nt, WindowsFamily::Win9x};
  EXPECT_EQ(families(ChainGroup()), ntOnly);
  EXPECT_EQ(families({Delta("app.exe", kV2, kV3, PlatformNt)}), ntOnly);
  EXPECT_EQ(families({Delta("app.exe", kV2, kV3), FullRecord("lib.dll", kV1, Platform9x)}), both);
  EXPECT_THROW(families({}), VerifyError);
}

// A copy whose CRC is the newCrc of any record counts as up to date, so the
// installer leaves a copy of an intermediate version as it is.
TEST(VerifyPatch, AnIntermediateVersionIsNotNew) {
  const Bytes patch = Patch({Delta("app.exe", kV1, kV2), FullRecord("app.exe", kV3)});
  const VerifyReport report = Verify(patch, {Folder("v2", {{"app.exe", kV2}})});
  ASSERT_EQ(report.rows.size(), 1u);
  EXPECT_EQ(report.rows[0].action, "already new");
  EXPECT_FALSE(report.rows[0].ok);
  EXPECT_EQ(report.rows[0].resultCrc, CrcOf(kV2));
  EXPECT_EQ(report.rows[0].expectedCrc, CrcOf(kV3));
}

TEST(VerifyPatch, CatchesARecordWhoseNewCrcIsWrongAndStopsThere) {
  std::vector<PatchRecord> records = ChainGroup();
  records[1].newCrc ^= 0x10;  // the second step of the chain
  records.push_back(FullRecord("readme.txt", Text("read me")));
  const VerifyReport report = Verify(Patch(records), {Folder("wrong", {{"app.exe", kV1}})});
  ASSERT_EQ(report.rows.size(), 2u);
  EXPECT_FALSE(report.ok);
  EXPECT_FALSE(report.rows[0].ok);
  EXPECT_EQ(report.rows[0].resultCrc, CrcOf(kV2));  // the first step was put in place
  EXPECT_NE(report.rows[0].detail.find("key 29"), std::string::npos) << report.rows[0].detail;
  // The installer's run ends there: the next file is never reached.
  EXPECT_EQ(report.rows[1].action, "not reached");
  EXPECT_FALSE(report.rows[1].ok);
}

TEST(VerifyPatch, ReportsEveryFolderAndFileAndCarriesWritesToLaterGroups) {
  const std::vector<PatchRecord> records = {
      Delta("app.exe", kV1, kV2),  Delta("readme.txt", Text("read me 1"), Text("read me 2"), FlagOptional),
      Delta("app.exe", kV2, kV3),  // a second group for the same file: it sees what the first wrote
  };
  const fs::path v1 = Folder("v1", {{"app.exe", kV1}, {"readme.txt", Text("read me 1")}});
  const fs::path v2 = Folder("v2", {{"app.exe", kV2}});
  const fs::path unknown = Folder("unknown", {{"app.exe", kOther}});
  const VerifyReport report = Verify(Patch(records), {v1, v2, unknown});
  ASSERT_EQ(report.rows.size(), 9u);
  const struct {
    size_t row;
    const char* folder;
    const char* name;
    const char* action;
    bool ok;
  } expected[] = {
      {0, "v1", "app.exe", "delta", true},  // each group brings the file to its own last version
      {1, "v1", "readme.txt", "delta", true},
      {2, "v1", "app.exe", "delta", true},
      {3, "v2", "app.exe", "already new", true},
      {4, "v2", "readme.txt", "missing (optional)", true},
      {5, "v2", "app.exe", "delta", true},
      {6, "unknown", "app.exe", "unknown version", false},
      {7, "unknown", "readme.txt", "missing (optional)", true},
      {8, "unknown", "app.exe", "unknown version", false},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.row);
    const VerifyRow& row = report.rows[e.row];
    EXPECT_EQ(fs::path(row.oldFolder).filename(), e.folder);
    EXPECT_EQ(row.name, e.name);
    EXPECT_EQ(row.action, e.action);
    EXPECT_EQ(row.ok, e.ok) << row.detail;
  }
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.rows[2].resultCrc, CrcOf(kV3));
  // Nothing on disk changed.
  std::ifstream in(v1 / "app.exe", std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), kV1);

  std::ostringstream printed;
  PrintVerifyReport(printed, report);
  EXPECT_NE(printed.str().find("NT family"), std::string::npos);
  EXPECT_NE(printed.str().find("unknown version"), std::string::npos);
  EXPECT_NE(printed.str().find("FAIL"), std::string::npos);
  EXPECT_NE(printed.str().find("FAILED"), std::string::npos);
}

TEST(VerifyPatch, RefusesADamagedPatchOrAnUnsafeName) {
  PatchRecord pastTheEnd = FullRecord("app.exe", kV3);
  pastTheEnd.recordLength = 5000;
  PatchRecord wrongContent = FullRecord("app.exe", kV3);
  wrongContent.newCrc ^= 1;
  PatchRecord outside = FullRecord("..\\outside.txt", kV3);
  outside.allowUnsafeName = true;
  PatchRecord drive = FullRecord("c:x.txt", kV3);
  drive.allowUnsafeName = true;
  const struct {
    const char* name;
    Bytes patch;
    const char* message;
  } cases[] = {
      {"record past the end", Patch({pastTheEnd}), "runs past the end of the file"},
      {"full content and its CRC", Patch({wrongContent}), "content of 'app.exe' has CRC"},
      {"no records", Text("DIF0"), "no file records"},
      {"a name leaving the folder", Patch({outside}), "record name '..\\outside.txt' is refused"},
      {"a drive in the name", Patch({drive}), "record name 'c:x.txt' is refused"},
  };
  const fs::path folder = Folder("damaged", {{"app.exe", kV1}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Verify(c.patch, {folder});
      ADD_FAILURE() << "accepted";
    } catch (const VerifyError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
  EXPECT_THROW(Verify(Patch(ChainGroup()), {folder / "no such folder"}), VerifyError);
}

TEST(PatchOfFile, TakesThePatchOutOfAnInstaller) {
  const Bytes patch = Patch(ChainGroup());
  EXPECT_EQ(PatchOfFile(patch), patch);
  const ByteView stub = EmbeddedStub();
  if (stub.size == 0) GTEST_SKIP() << "installer program not built";
  std::vector<std::string> warnings;
  const Bytes installer = PackInstaller(Bytes(stub.data, stub.data + stub.size),
                                        BuildPayload({{"u.dif", patch}}, CompressionOptions{0}), "", warnings);
  EXPECT_EQ(PatchOfFile(installer), patch);
  Bytes damaged = installer;
  damaged.insert(damaged.end(), {0, 0});
  EXPECT_THROW(PatchOfFile(damaged), VerifyError);
}

}  // namespace
