#include "launcher/payload.h"

#include <gtest/gtest.h>

#include <string>

#include "builder/format/payload_writer.h"

namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct Checked {
  bool ok;
  std::string commandLine;
};

Checked Check(const Bytes& payload, bool silent) {
  char commandLine[kDriverCommandLineSize + 16];
  std::fill(std::begin(commandLine), std::end(commandLine), '#');
  const bool ok =
      CheckPayload(ByteView{payload.data(), uint32_t(payload.size())}, silent, commandLine);
  EXPECT_EQ(commandLine[kDriverCommandLineSize], '#') << "wrote past the command line";
  return Checked{ok, ok ? std::string(commandLine) : std::string()};
}

Bytes ShippedLayout() {
  Bytes payload;
  AppendPayloadEntry(payload, "arg00", {});
  AppendPayloadEntry(payload, "a.dif", Text("patch"));
  AppendPayloadEntry(payload, "run.exe", Text("program"));
  return payload;
}

TEST(CheckPayload, BuildsTheDriverCommandLine) {
  EXPECT_EQ(Check(ShippedLayout(), false).commandLine, "arg00 a.dif run.exe");
  EXPECT_EQ(Check(ShippedLayout(), true).commandLine, "arg00 /s a.dif run.exe");
  Checked empty = Check(Bytes{}, true);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.commandLine, "");
}

TEST(CheckPayload, LengthZeroEntriesAreTokensWithoutData) {
  Bytes payload;
  AppendPayloadEntry(payload, "arg00", {});
  AppendPayloadEntry(payload, "missing.dif", {});
  ByteCursor cursor(ByteView{payload.data(), uint32_t(payload.size())});
  PayloadEntry entry;
  int entries = 0;
  while (ReadPayloadEntry(cursor, entry) == PayloadEntryRead) {
    EXPECT_EQ(entry.data.size, 0u);
    ++entries;
  }
  EXPECT_EQ(entries, 2);
  EXPECT_EQ(Check(payload, false).commandLine, "arg00 missing.dif");
}

TEST(CheckPayload, DamagedContainersAreRefused) {
  struct Case {
    const char* name;
    Bytes payload;
  };
  Bytes lastRunsOver = ShippedLayout();
  lastRunsOver.pop_back();  // the last entry's length is one byte beyond the end
  Bytes lengthCut;
  AppendRawPayloadEntry(lengthCut, "arg00", {});
  lengthCut.resize(lengthCut.size() - 1);
  Bytes hugeLength = Text("x");
  hugeLength.insert(hugeLength.end(), {0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
  const Case cases[] = {
      {"the one-byte placeholder", Bytes{0}},
      {"name without NUL", Text("arg00")},
      {"length word cut", lengthCut},
      {"last entry one byte too long", lastRunsOver},
      {"length wraps around", hugeLength},
  };
  for (const Case& c : cases) EXPECT_FALSE(Check(c.payload, false).ok) << c.name;
}

TEST(CheckPayload, NamesThatLeaveTheUnpackFolderAreRefused) {
  const char* badNames[] = {".", "..", "..\\x.exe", "sub/x.exe", "C:x.exe", "c:\\x", "a\\b"};
  for (const char* name : badNames) {
    for (bool withData : {false, true}) {
      Bytes payload;
      AppendPayloadEntry(payload, "arg00", {});
      AppendPayloadEntry(payload, name, withData ? Text("data") : Bytes{});
      EXPECT_FALSE(Check(payload, false).ok) << name << " data " << withData;
    }
  }
  Bytes emptyWithData;
  AppendPayloadEntry(emptyWithData, "", Text("data"));
  EXPECT_FALSE(Check(emptyWithData, false).ok);
  Bytes emptyWithoutData;
  AppendPayloadEntry(emptyWithoutData, "", {});
  AppendPayloadEntry(emptyWithoutData, "a.dif", {});
  EXPECT_TRUE(Check(emptyWithoutData, false).ok);
  Bytes dots;
  AppendPayloadEntry(dots, "...", Text("x"));
  AppendPayloadEntry(dots, ".hidden", Text("x"));
  EXPECT_TRUE(Check(dots, false).ok);
}

TEST(CheckPayload, CommandLineMustFitIn299Characters) {
  // "arg00" + " /s" + " " + name: 9 characters besides the name.
  for (size_t nameLength : {290u, 291u}) {
    for (bool silent : {false, true}) {
      Bytes payload;
      AppendPayloadEntry(payload, "arg00", {});
      AppendPayloadEntry(payload, std::string(nameLength, 'n'), Text("x"));
      const size_t length = 5 + (silent ? 3 : 0) + 1 + nameLength;
      Checked checked = Check(payload, silent);
      EXPECT_EQ(checked.ok, length <= 299) << nameLength << " silent " << silent;
      if (checked.ok) {
        EXPECT_EQ(checked.commandLine.size(), length);
      }
    }
  }
}

}  // namespace
