#include "patch/plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builder/format/patch_writer.h"
#include "builder/record_names.h"

namespace {

// A record that only its numbers tell apart: the plan never decodes a body.
PatchRecord Step(const std::string& name, uint32_t oldSize, uint32_t oldCrc, uint32_t newCrc,
                 uint32_t flags = 0) {
  PatchRecord record;
  record.name = name;
  record.flags = flags;
  record.oldSize = oldSize;
  record.oldCrc = oldCrc;
  record.newCrc = newCrc;
  record.body = Bytes{1, 2, 3};
  return record;
}

PatchRecord Full(const std::string& name, uint32_t newCrc, uint32_t flags = 0) {
  return Step(name, 0, 0, newCrc, flags);
}

struct Area {
  Bytes bytes;
  ByteView view() const { return ByteView{bytes.data(), uint32_t(bytes.size())}; }
};

Area AreaOf(const std::vector<PatchRecord>& records) {
  PatchFile patch;
  patch.records = records;
  const Bytes file = WritePatch(patch);
  return Area{Bytes(file.begin() + sizeof kPatchMagic, file.end())};
}

bool ExactlyEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// The groups of an area as a run on `isNt` forms them: the names of their
// first records and their record counts.
std::vector<std::pair<std::string, int>> Groups(const Area& area, bool isNt,
                                                NamesEqual equal = RecordNamesEqualFor(0)) {
  std::vector<std::pair<std::string, int>> groups;
  FileRecord first;
  for (uint32_t offset = 0; ReadRecord(area.view(), offset, first);) {
    if (!PlatformFits(first.flags, isNt)) {
      offset = NextRecord(first);
      continue;
    }
    RecordGroup group;
    FormGroup(area.view(), first, equal, group);
    EXPECT_EQ(group.recordCount, CountRecords(area.view(), group.start, group.end));
    groups.emplace_back(first.name, group.recordCount);
    offset = group.end;
  }
  return groups;
}

RecordGroup FirstGroup(const Area& area) {
  FileRecord first;
  EXPECT_TRUE(ReadRecord(area.view(), 0, first));
  RecordGroup group;
  FormGroup(area.view(), first, RecordNamesEqualFor(0), group);
  return group;
}

std::vector<uint32_t> List(const uint32_t* crcs, int32_t count) {
  return std::vector<uint32_t>(crcs, crcs + count);
}

}  // namespace

TEST(Plan, GroupsAreRunsOfOneNameAndTheWalkPassesOverTheOtherFamily) {
  const Area area = AreaOf({
      Step("App.exe", 5, 0xA1, 0xA2), Full("app.EXE", 0xA2),  // one group, whatever the case
      Full("nine.dll", 0x91, Platform9x), Full("nine.dll", 0x92),
      Full("nt.dll", 0x71, PlatformNt),
      Full("app.exe", 0xA3),  // the same name later on: a group of its own
  });
  using Groups_ = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(Groups(area, true),
            (Groups_{{"App.exe", 2}, {"nine.dll", 1}, {"nt.dll", 1}, {"app.exe", 1}}));
  // On the 9x family the 9x record begins the group and takes the next one in.
  EXPECT_EQ(Groups(area, false), (Groups_{{"App.exe", 2}, {"nine.dll", 2}, {"app.exe", 1}}));
  // The comparison is the caller's: an exact one splits the first group.
  EXPECT_EQ(Groups(area, true, ExactlyEqual).front(), (std::pair<std::string, int>{"App.exe", 1}));
}

TEST(Plan, TheSearchTakesEveryOldCrcAndEachNewCrcOnce) {
  const RecordGroup group = FirstGroup(AreaOf({
      Step("a.dll", 5, 0x10, 0x20), Step("a.dll", 6, 0x20, 0x30), Step("a.dll", 7, 0x10, 0x30),
      Full("a.dll", 0x30),
  }));
  EXPECT_EQ(List(group.crcList, group.crcCount),
            (std::vector<uint32_t>{0x10, 0x20, 0x20, 0x30, 0x10, 0}));
  EXPECT_EQ(List(group.newCrcs, group.newCrcCount), (std::vector<uint32_t>{0x20, 0x30}));
}

TEST(Plan, TheCrcListStopsAtItsLimit) {
  std::vector<PatchRecord> records;
  for (uint32_t i = 0; i < kCrcListMax; ++i) records.push_back(Step("big.dat", 9, i, 1000 + i));
  const RecordGroup group = FirstGroup(AreaOf(records));
  EXPECT_EQ(group.crcCount, kCrcListMax);
  EXPECT_EQ(group.newCrcCount, kCrcListMax);
  EXPECT_EQ(group.recordCount, kCrcListMax);
}

TEST(Plan, FlagsOfTheFirstRecordDecideWhatAMissingFileDoes) {
  struct Case {
    const char* what;
    std::vector<PatchRecord> records;
    bool optional, creatable, allowDriveScan;
  } cases[] = {
      {"deltas only", {Step("f", 5, 1, 2)}, false, false, true},
      {"with full content", {Step("f", 5, 1, 2), Full("f", 2)}, false, true, false},
      {"no-create", {Full("f", 2, FlagNoCreate)}, false, false, true},
      {"optional", {Step("f", 5, 1, 2, FlagOptional)}, true, false, false},
      {"optional with full content", {Full("f", 2, FlagOptional)}, true, true, false},
  };
  for (const Case& c : cases) {
    const RecordGroup group = FirstGroup(AreaOf(c.records));
    EXPECT_EQ(group.optional, c.optional) << c.what;
    EXPECT_EQ(group.creatable, c.creatable) << c.what;
    EXPECT_EQ(group.allowDriveScan, c.allowDriveScan) << c.what;
  }
}

TEST(Plan, TheChosenRecordStartsFromTheCopyElseIsTheLastFullOneUnlessTheCopyIsNew) {
  const Area area = AreaOf({Step("f", 5, 0x11, 0x22), Full("f", 0x33), Step("f", 6, 0x22, 0x33),
                            Full("f", 0x33)});
  const RecordGroup group = FirstGroup(area);
  struct Case {
    const char* what;
    uint32_t crc, size;
    int chosen;     // the index of the record chosen, -1 for none
    bool upToDate;  // when none is chosen: whether that is fine
  } cases[] = {
      {"exact match", 0x22, 6, 2, false},
      {"unknown version: the last full record", 0x99, 5, 3, false},
      {"a file to create: a full record starts from nothing", 0, 0, 1, false},
      {"already new", 0x33, 9, -1, true},
      {"a version a record makes, of another size", 0x22, 7, -1, true},
  };
  std::vector<uint32_t> offsets;
  FileRecord record;
  for (uint32_t offset = 0; ReadRecord(area.view(), offset, record); offset = NextRecord(record))
    offsets.push_back(offset);
  for (const Case& c : cases) {
    FileRecord chosen{};
    bool upToDate = false;
    const bool found = ChooseRecord(area.view(), group, c.crc, c.size, chosen, upToDate);
    ASSERT_EQ(found, c.chosen >= 0) << c.what;
    if (found) {
      EXPECT_EQ(chosen.offset, offsets[size_t(c.chosen)]) << c.what;
    } else {
      EXPECT_EQ(upToDate, c.upToDate) << c.what;
    }
  }
}

TEST(Plan, AChainGoesOnFromTheVersionJustMadeAndStopsAtTheEnd) {
  const Area area = AreaOf({Step("f", 5, 0x11, 0x22), Step("f", 6, 0x22, 0x33),
                            Step("f", 7, 0x33, 0x11)});
  const RecordGroup group = FirstGroup(area);
  FileRecord next;
  ASSERT_TRUE(FindContinuation(area.view(), group.start, group.end, 0x22, 6, next));
  EXPECT_EQ(next.newCrc, 0x33u);
  EXPECT_FALSE(FindContinuation(area.view(), group.start, group.end, 0x22, 5, next));
  // Records that lead back to a version already made: the cap is the group's size.
  EXPECT_EQ(CountRecords(area.view(), group.start, group.end), 3);
}

TEST(RecordNames, CompareAsTheSystemOfTheirCodePage) {
  struct Case {
    int codepage;
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {0, "Readme.TXT", "readme.txt", true},
      {0, "\xC9t\xE9.txt", "\xE9t\xE9.txt", false},  // bytes above ASCII as they are
      {1252, "\xC9t\xE9.txt", "\xE9T\xC9.TXT", true},  // Été
      {1252, "\xD7", "\xF7", false},                   // × and ÷ are no letters
      {1252, "\x8A", "\x9A", true},                    // Š š
      {932, "\x82\x60.txt", "\x82\x81.TXT", true},     // full-width Ａ ａ
      {932, "\x83\x9F", "\x83\xBF", true},             // Α α
      {932, "\x84\x4F", "\x84\x80", true},             // О о, past the gap
      {932, "\x83\x41", "\x83\x61", false},            // ア and ャ: a trail byte is not a letter
      {932, "\x95\x5C\\A", "\x95\x5C\\a", true},       // 表 then a separator
      {932, "ab", "abc", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RecordNamesEqualFor(c.codepage)(c.a, c.b), c.equal)
        << c.codepage << ": " << c.a << " / " << c.b;
    EXPECT_EQ(RecordNamesEqualFor(c.codepage)(c.b, c.a), c.equal) << "the other way round";
  }
}
