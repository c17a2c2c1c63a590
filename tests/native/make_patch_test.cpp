// Patches made from project folders: which records each old version gets
// (deltas, shared records of identical copies, chains only where smaller, the
// full content as fallback), the per-file options, and that every old folder
// comes out as the new version when the patch is applied as the installer does.
#include "builder/make_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "builder/format/delta_output.h"
#include "builder/verify.h"
#include "patch/crc32.h"
#include "patch/header.h"
#include "patch/records.h"
#include "tests/native/project_fixture.h"

namespace {

uint32_t CrcOf(const Bytes& bytes) { return Crc32(bytes.data(), uint32_t(bytes.size())); }

class MakePatchTest : public ::testing::Test {
 protected:
  // Writes `files` (relative path -> content) into the folder `version`.
  void Version(const std::string& version, const std::vector<std::pair<std::string, Bytes>>& files) {
    folders_.Folder(version);
    for (const auto& [name, content] : files) folders_.Write(version + "/" + name, content);
  }

  Project Load(const std::vector<std::string>& old, const std::string& extra = "") {
    std::string list;
    for (const std::string& folder : old) list += (list.empty() ? "\"" : ", \"") + folder + "\"";
    const std::string text = "[product]\nname = \"Sample\"\nfrom = \"1.0\"\nto = \"4.0\"\n"
                             "[folders]\nnew = \"new\"\nold = [" + list + "]\n" + extra;
    folders_.Write("product.toml", text);
    return LoadProject(folders_ / "product.toml");
  }

  // Applies the patch to every old folder and the new one, as the installer would.
  static void ExpectEveryFolderComesOutNew(const Project& project, const MadePatch& made) {
    std::vector<std::filesystem::path> folders = project.oldFolders;
    folders.push_back(project.newFolder);
    const VerifyReport report = VerifyPatch(ViewOf(made.bytes), folders, project.CodePage());
    std::ostringstream rows;
    PrintVerifyReport(rows, report);
    EXPECT_TRUE(report.ok) << rows.str();
  }

  static std::vector<const PatchRecord*> RecordsOf(const MadePatch& made, const std::string& name) {
    std::vector<const PatchRecord*> records;
    for (const PatchRecord& record : made.patch.records)
      if (record.name == name) records.push_back(&record);
    return records;
  }

  // The body of one of `made`'s records, read back from the patch's bytes
  // (the records keep none).
  static Bytes BodyOf(const MadePatch& made, const PatchRecord* wanted) {
    StringTable table{};
    const uint8_t* area = ParsePatchHeader(made.bytes.data(), uint32_t(made.bytes.size()), table);
    EXPECT_NE(area, nullptr);
    if (!area) return {};
    const ByteView records{area, uint32_t(made.bytes.data() + made.bytes.size() - area)};
    FileRecord record{};
    uint32_t offset = 0;
    for (const PatchRecord& each : made.patch.records) {
      EXPECT_TRUE(ReadRecord(records, offset, record));
      if (&each == wanted) return Bytes(record.body.data, record.body.data + record.body.size);
      offset = NextRecord(record);
    }
    ADD_FAILURE() << "not a record of the patch";
    return {};
  }

  // The record that an installed copy of `content` matches exactly.
  static const PatchRecord* RecordFor(const MadePatch& made, const std::string& name,
                                      const Bytes& content) {
    for (const PatchRecord* record : RecordsOf(made, name))
      if (record->oldSize == content.size() && record->oldCrc == CrcOf(content)) return record;
    return nullptr;
  }

  // The message MakePatch refuses `project` with.
  static std::string Refusal(const Project& project) {
    try {
      MakePatch(project);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "(accepted)";
  }

  ProjectFolders folders_;
};

TEST_F(MakePatchTest, DeltaPerDistinctOldVersionThenTheFullContentLast) {
  const Bytes v1 = RandomContent(30000, 1);
  const Bytes v2 = Edited(v1, 1000);
  const Bytes v3 = Edited(v2, 20000);
  const Bytes v4 = Edited(v3, 9000);
  // readme.txt is the same in v1 and v3: one record serves both.
  Version("v1", {{"app.exe", v1}, {"docs/readme.txt", RandomContent(5000, 7)}});
  Version("v2", {{"app.exe", v2}, {"docs/readme.txt", Edited(RandomContent(5000, 7), 3000)}});
  Version("v3", {{"app.exe", v3}, {"docs/readme.txt", RandomContent(5000, 7)}});
  Version("new", {{"app.exe", v4}, {"docs/readme.txt", Edited(RandomContent(5000, 7), 10)}});
  const Project project = Load({"v1", "v2", "v3"});
  const MadePatch made = MakePatch(project);

  const auto app = RecordsOf(made, "app.exe");
  ASSERT_EQ(app.size(), 4u);
  for (const Bytes* old : {&v1, &v2, &v3}) {
    const PatchRecord* record = RecordFor(made, "app.exe", *old);
    ASSERT_NE(record, nullptr);
    EXPECT_LT(BodyOf(made, record).size(), v4.size());
  }
  EXPECT_EQ(app.back()->oldSize, 0u);
  EXPECT_EQ(BodyOf(made, app.back()), v4);
  EXPECT_EQ(app.back()->newCrc, CrcOf(v4));

  // Sub-folders become '\' in the record name; the shared copy gets one record.
  const auto readme = RecordsOf(made, "docs\\readme.txt");
  EXPECT_EQ(readme.size(), 3u);
  EXPECT_EQ(made.summary.sharedCopies, 1u);
  EXPECT_EQ(made.summary.fullRecords, 2u);
  ExpectEveryFolderComesOutNew(project, made);
}

TEST_F(MakePatchTest, ChainsOnlyWhereTheyAreSmaller) {
  const Bytes base = RandomContent(20000, 2);
  struct Case {
    const char* what;
    Bytes v1, v2, fresh;
    bool chain;           // the project's option
    bool expectChained;   // v1's record continues through v2
  };
  // Each version adds a block of new bytes: a delta from v1 carries both
  // blocks, the chain through v2 only the first.
  const Bytes grown = Joined(base, RandomContent(4000, 3));
  const Bytes grownTwice = Joined(grown, RandomContent(4000, 4));
  // v2 adds bytes the new version drops again: the straight delta is smaller.
  const Bytes detour = Joined(RandomContent(4000, 5), base);
  const Case cases[] = {
      {"growing versions", base, grown, grownTwice, true, true},
      {"growing versions, chains off", base, grown, grownTwice, false, false},
      {"detour through v2", base, detour, Edited(base, 500), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(folders_.root() / "v1");
    std::filesystem::remove_all(folders_.root() / "v2");
    std::filesystem::remove_all(folders_.root() / "new");
    Version("v1", {{"app.exe", c.v1}});
    Version("v2", {{"app.exe", c.v2}});
    Version("new", {{"app.exe", c.fresh}});
    const Project project = Load({"v1", "v2"}, c.chain ? "" : "[options]\nchain = false\n");
    const MadePatch made = MakePatch(project);
    const PatchRecord* first = RecordFor(made, "app.exe", c.v1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->newCrc, c.expectChained ? CrcOf(c.v2) : CrcOf(c.fresh));
    EXPECT_EQ(made.summary.chainRecords, c.expectChained ? 1u : 0u);
    ExpectEveryFolderComesOutNew(project, made);
  }
}

TEST_F(MakePatchTest, ChainRunsThroughEveryOldVersion) {
  Bytes version = RandomContent(10000, 10);
  std::vector<Bytes> versions;
  for (uint32_t i = 0; i < 4; ++i) {
    versions.push_back(version);
    version = Joined(version, RandomContent(3000, 20 + i));
  }
  Version("v1", {{"core.dll", versions[0]}});
  Version("v2", {{"core.dll", versions[1]}});
  Version("v3", {{"core.dll", versions[2]}});
  Version("new", {{"core.dll", versions[3]}});
  const Project project = Load({"v1", "v2", "v3"});
  const MadePatch made = MakePatch(project);
  for (size_t i = 0; i < 3; ++i) {
    const PatchRecord* record = RecordFor(made, "core.dll", versions[i]);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->newCrc, CrcOf(versions[i + 1])) << "v" << i + 1;
  }
  EXPECT_EQ(made.summary.chainRecords, 2u);
  EXPECT_EQ(made.summary.deltaRecords, 1u);
  ExpectEveryFolderComesOutNew(project, made);
}

TEST_F(MakePatchTest, DeltaNoSmallerThanTheFullContentIsLeftToTheFallback) {
  // An old copy unrelated to the new file: its delta would carry every byte.
  const Bytes fresh = RandomContent(3000, 30);
  Version("v1", {{"data.bin", RandomContent(3000, 31)}});
  Version("v2", {{"data.bin", Edited(fresh, 100)}});
  Version("new", {{"data.bin", fresh}});
  const Project project = Load({"v1", "v2"});
  const MadePatch made = MakePatch(project);
  const auto records = RecordsOf(made, "data.bin");
  ASSERT_EQ(records.size(), 2u);  // v2's delta and the full content
  EXPECT_EQ(records[0]->oldCrc, CrcOf(Edited(fresh, 100)));
  EXPECT_EQ(records[1]->oldSize, 0u);
  EXPECT_EQ(made.summary.droppedDeltas, 1u);
  ExpectEveryFolderComesOutNew(project, made);
}

TEST_F(MakePatchTest, PerFileOptionsSetTheFlagsOfEveryRecordOfTheGroup) {
  const Bytes old = RandomContent(4000, 40);
  struct Case {
    const char* what;
    std::string entry;
    uint32_t flags;
    bool fullRecord;
  };
  const Case cases[] = {
      {"defaults", "", 0, true},
      {"not created", "create = false\n", FlagNoCreate, true},
      {"optional", "optional = true\n", FlagOptional, true},
      {"9x only", "platform = \"9x\"\n", Platform9x, true},
      {"NT only, optional, not created", "platform = \"nt\"\noptional = true\ncreate = false\n",
       PlatformNt | FlagOptional | FlagNoCreate, true},
      {"no full content", "full = false\n", 0, false},
  };
  Version("v1", {{"bin/plugin.dll", old}});
  Version("new", {{"bin/plugin.dll", Edited(old, 50)}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Project project = Load({"v1"}, "[[files]]\npath = \"bin/plugin.dll\"\n" + c.entry);
    const MadePatch made = MakePatch(project);
    const auto records = RecordsOf(made, "bin\\plugin.dll");
    ASSERT_EQ(records.size(), c.fullRecord ? 2u : 1u);
    for (const PatchRecord* record : records) EXPECT_EQ(record->flags, c.flags);
    EXPECT_EQ(records.back()->oldSize == 0, c.fullRecord);
  }
}

TEST_F(MakePatchTest, WithoutFullRecordsAFileMissingFromAnOldVersionMustBeOptional) {
  const Bytes old = RandomContent(4000, 50);
  Version("v1", {{"app.exe", old}});
  Version("new", {{"app.exe", Edited(old, 7)}, {"added.txt", RandomContent(100, 51)}});
  const MadePatch made =
      MakePatch(Load({"v1"}, "[options]\nfull = false\n[[files]]\npath = \"added.txt\"\noptional = true\n"));
  ASSERT_EQ(made.patch.records.size(), 1u);
  EXPECT_NE(made.patch.records[0].oldSize, 0u);
  ASSERT_EQ(made.summary.warnings.size(), 1u);
  EXPECT_NE(made.summary.warnings[0].find("added.txt: missing from"), std::string::npos);

  // Not optional: the patch could not bring v1 to the new version.
  const std::string refusal = Refusal(Load({"v1"}, "[options]\nfull = false\n"));
  EXPECT_NE(refusal.find("added.txt: missing from"), std::string::npos) << refusal;
}

TEST_F(MakePatchTest, UnchangedFilesGetNoRecordsAndOldOnlyFilesAreReported) {
  const Bytes same = RandomContent(2000, 60);
  const Bytes old = RandomContent(2000, 61);
  Version("v1", {{"same.dll", same}, {"app.exe", old}, {"legacy/old.hlp", RandomContent(10, 62)}});
  Version("v2", {{"same.dll", same}, {"app.exe", old}});
  Version("new", {{"same.dll", same}, {"app.exe", Edited(old, 3)}});
  const Project project = Load({"v1", "v2"});
  const MadePatch made = MakePatch(project);
  EXPECT_TRUE(RecordsOf(made, "same.dll").empty());
  EXPECT_EQ(made.summary.unchangedFiles, 1u);
  EXPECT_EQ(RecordsOf(made, "app.exe").size(), 2u);
  ASSERT_EQ(made.summary.warnings.size(), 1u);
  EXPECT_NE(made.summary.warnings[0].find("legacy/old.hlp"), std::string::npos);
  EXPECT_NE(made.summary.warnings[0].find("cannot delete"), std::string::npos);
  ExpectEveryFolderComesOutNew(project, made);
}

// The installer maps only the files it updates: an unchanged file or one that
// only an old version holds does not count, however large.
TEST_F(MakePatchTest, TheLargestFileCountedIsOneTheInstallerMaps) {
  const Bytes large = RandomContent(9000, 63);
  const Bytes oldApp = RandomContent(3000, 64);
  Version("v1", {{"large.dat", large}, {"app.exe", oldApp}, {"gone.dat", RandomContent(12000, 65)}});
  Version("v2", {{"large.dat", large}, {"app.exe", Edited(oldApp, 5)}});
  Version("new", {{"large.dat", large}, {"app.exe", Bytes(oldApp.begin(), oldApp.begin() + 2500)}});
  const MadePatch made = MakePatch(Load({"v1", "v2"}));
  EXPECT_EQ(made.summary.largestFileBytes, 3000u);  // v1's and v2's copies, larger than the new one
}

TEST_F(MakePatchTest, FilesTheInstallerFindsComeBeforeFilesItCreates) {
  // The installer creates a new file beside the last file it found, so a file
  // that no old version holds must not open the patch, whatever its name.
  const Bytes old = RandomContent(3000, 70);
  Version("v1", {{"zeta.exe", old}});
  Version("v2", {{"zeta.exe", Edited(old, 1)}});
  Version("new", {{"alpha.txt", RandomContent(50, 71)}, {"zeta.exe", Edited(old, 2)}});
  const MadePatch made = MakePatch(Load({"v1", "v2"}));
  ASSERT_FALSE(made.patch.records.empty());
  EXPECT_EQ(made.patch.records.front().name, "zeta.exe");
  EXPECT_EQ(made.patch.records.back().name, "alpha.txt");
}

TEST_F(MakePatchTest, FileInAFolderAnOldVersionLacksIsCreatedOnlyWhereTheFolderIs) {
  // The installer creates files but no folders: creating plug/a.dll where plug
  // is missing would fail and end the update.
  Version("v1", {{"app.exe", RandomContent(100, 1)}});
  Version("v2", {{"app.exe", RandomContent(100, 1)}, {"plug/readme.txt", RandomContent(10, 2)}});
  Version("new", {{"app.exe", RandomContent(100, 1)}, {"plug/a.dll", RandomContent(100, 3)}});
  const std::string refusal = Refusal(Load({"v1", "v2"}));
  EXPECT_NE(refusal.find("plug/a.dll: the folder plug is not in"), std::string::npos) << refusal;
  EXPECT_EQ(refusal.find("v2"), std::string::npos) << refusal;

  const Project project = Load({"v1", "v2"}, "[[files]]\npath = \"plug/a.dll\"\ncreate = false\n");
  const MadePatch made = MakePatch(project);
  const auto records = RecordsOf(made, "plug\\a.dll");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->flags, FlagNoCreate);
  ExpectEveryFolderComesOutNew(project, made);
}

TEST_F(MakePatchTest, EmptyOldCopyIsServedByTheFullRecordOnly) {
  const Bytes fresh = RandomContent(500, 80);
  Version("v1", {{"log.txt", Bytes{}}});
  Version("new", {{"log.txt", fresh}});
  const Project project = Load({"v1"});
  const MadePatch made = MakePatch(project);
  const auto records = RecordsOf(made, "log.txt");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->oldSize, 0u);
  ExpectEveryFolderComesOutNew(project, made);
  // Without the full record nothing could update it.
  const std::string refusal = Refusal(Load({"v1"}, "[options]\nfull = false\n"));
  EXPECT_NE(refusal.find("log.txt: the copy in"), std::string::npos) << refusal;
}

TEST_F(MakePatchTest, SameInputsGiveTheSameBytesOnAnyNumberOfThreads) {
  std::vector<std::pair<std::string, Bytes>> v1, v2, latest;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "sub" + std::to_string(i % 3) + "/file" + std::to_string(i) + ".bin";
    const Bytes base = RandomContent(2000 + 3000 * (i % 4), 90 + i);
    v1.push_back({name, base});
    if (i % 4 != 0) v2.push_back({name, Joined(base, RandomContent(500, 200 + i))});
    latest.push_back({name, i % 5 == 0 ? base : Joined(base, RandomContent(900, 300 + i))});
  }
  Version("v1", v1);
  Version("v2", v2);
  Version("new", latest);
  const Project project = Load({"v1", "v2"});
  MakeOptions one;
  one.threads = 1;
  std::vector<std::string> order;
  one.onFileDone = [&](const FileDone& done) {
    order.push_back(done.relative);
    EXPECT_EQ(done.filesDone, order.size());
    if (done.filesDone == done.filesTotal) {
      EXPECT_EQ(done.bytesDone, done.bytesTotal);
    }
  };
  const MadePatch reference = MakePatch(project, one);
  EXPECT_EQ(order.size(), latest.size());
  for (unsigned threads : {2u, 3u}) {
    MakeOptions options;
    options.threads = threads;
    std::vector<std::string> seen;
    options.onFileDone = [&](const FileDone& done) { seen.push_back(done.relative); };
    EXPECT_EQ(MakePatch(project, options).bytes, reference.bytes) << threads << " threads";
    EXPECT_EQ(seen, order) << threads << " threads";
  }
}

// The records an old version's files use (a chain with its continuation), and
// a patch for it alone: per file its direct delta and the full content.
TEST_F(MakePatchTest, WhatEachOldVersionUsesAndWouldWeighAlone) {
  const Bytes v1 = RandomContent(30000, 41);
  const Bytes v2 = Edited(v1, 1000);
  const Bytes latest = Edited(v2, 20000);
  Version("v1", {{"app.exe", v1}, {"same.txt", RandomContent(100, 43)}});
  Version("v2", {{"app.exe", v2}, {"same.txt", RandomContent(100, 43)}, {"new.dat", RandomContent(700, 44)}});
  Version("new", {{"app.exe", latest}, {"same.txt", RandomContent(100, 43)}, {"new.dat", RandomContent(700, 44)}});
  for (const bool chain : {false, true}) {
    SCOPED_TRACE(chain ? "chain" : "no chain");
    const MadePatch made = MakePatch(Load({"v1", "v2"}, chain ? "" : "[options]\nchain = false\n"));
    ASSERT_EQ(made.summary.chainRecords, chain ? 1u : 0u);

    // Record sizes as the patch holds them.
    StringTable table{};
    const uint8_t* area = ParsePatchHeader(made.bytes.data(), uint32_t(made.bytes.size()), table);
    ASSERT_NE(area, nullptr);
    const uint64_t header = uint64_t(area - made.bytes.data());
    const ByteView records{area, uint32_t(made.bytes.data() + made.bytes.size() - area)};
    uint64_t fromV1 = 0, fromV2 = 0, fullApp = 0, fullNew = 0;
    FileRecord record{};
    for (uint32_t offset = 0; ReadRecord(records, offset, record); offset = NextRecord(record)) {
      const std::string name = record.name;
      uint64_t& slot = record.oldSize == 0 ? (name == "app.exe" ? fullApp : fullNew)
                       : record.oldCrc == CrcOf(v1) ? fromV1
                                                    : fromV2;
      slot = record.recordLength;
    }
    ASSERT_EQ(made.summary.versions.size(), 2u);
    const VersionUse& first = made.summary.versions[0];
    const VersionUse& second = made.summary.versions[1];
    EXPECT_EQ(first.files, 2u);  // app.exe, and new.dat to create
    EXPECT_EQ(first.recordBytes, fromV1 + (chain ? fromV2 : 0) + fullNew);
    EXPECT_EQ(second.files, 1u);
    EXPECT_EQ(second.recordBytes, fromV2);
    EXPECT_EQ(second.aloneBytes, header + fromV2 + fullApp);
    if (chain)  // the direct delta, not in the patch, was the bigger one
      EXPECT_GT(first.aloneBytes, header + fromV1 + fullApp + fullNew);
    else
      EXPECT_EQ(first.aloneBytes, header + fromV1 + fullApp + fullNew);
  }
}

// Sizes in a patch are 32-bit and the delta encoder takes files below 2 GiB:
// a larger file is refused with its name before anything is read (the file
// here is sparse).
TEST_F(MakePatchTest, FileOf2GiBIsRefusedWithItsName) {
  Version("v1", {{"small.txt", RandomContent(10, 1)}});
  Version("new", {{"small.txt", RandomContent(10, 2)}, {"data/huge.pak", {}}});
  std::filesystem::resize_file(folders_ / "new/data/huge.pak", uint64_t(1) << 31);
  const std::string refusal = Refusal(Load({"v1"}));
  EXPECT_NE(refusal.find("huge.pak"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("2 GiB"), std::string::npos) << refusal;
}

TEST_F(MakePatchTest, NamesTheInstallerCannotUseAreRefused) {
  struct Case {
    const char* what;
    std::vector<std::string> files;
    std::string expected;
  };
  const Case cases[] = {
      {"names differing only in case", {"App.exe", "app.exe"}, "differ only in case"},
      {"device name", {"con.txt"}, "con.txt: not a name the installer accepts"},
      {"trailing dot", {"sub./a.txt"}, "not a name the installer accepts"},
      {"colon", {"a:b.txt"}, "not a name the installer accepts"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(folders_.root() / "new");
    folders_.Folder("v1");
    for (const std::string& file : c.files) folders_.Write("new/" + file, file);
    const std::string refusal = Refusal(Load({"v1"}));
    EXPECT_NE(refusal.find(c.expected), std::string::npos) << refusal;
  }
}

TEST_F(MakePatchTest, HeaderTextsComeFromTheProduct) {
  Version("v1", {{"a.txt", RandomContent(10, 1)}});
  Version("new", {{"a.txt", RandomContent(10, 2)}});
  const MadePatch made = MakePatch(Load({"v1"}, "[texts]\n\"5\" = \"%s %s update\"\n"));
  auto text = [&](const std::string& key) {
    for (const HeaderEntry& entry : made.patch.entries)
      if (entry.key == key) return entry.text;
    return std::string("(absent)");
  };
  EXPECT_EQ(text("0"), "Sample");
  EXPECT_EQ(text("1"), "1.0");
  EXPECT_EQ(text("2"), "4.0");
  EXPECT_EQ(text("5"), "%s %s update");
}

}  // namespace
