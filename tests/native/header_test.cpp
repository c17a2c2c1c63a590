#include "patch/header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A header entry as it is written in a patch file.
std::string Entry(const std::string& key, const std::string& text) {
  return key + ":" + text + std::string(1, '\0');
}

const std::string kMagic = "DIF0";

struct Parsed {
  StringTable table;
  const uint8_t* records;
  const uint8_t* begin;
  PatchFault fault;
};

Parsed Parse(const std::string& bytes) {
  Parsed parsed;
  SetDefaultStrings(parsed.table);
  parsed.begin = reinterpret_cast<const uint8_t*>(bytes.data());
  parsed.records =
      ParsePatchHeader(parsed.begin, uint32_t(bytes.size()), parsed.table, &parsed.fault);
  return parsed;
}

TEST(StringTable, DefaultsAreEmptyOrAbsentByKey) {
  StringTable table;
  SetDefaultStrings(table);
  for (int key = 0; key < kStringKeyCount; ++key) {
    const bool empty = key <= 2 || (key >= 4 && key <= 8) || (key >= 10 && key <= 15) ||
                       (key >= 20 && key <= 35);
    if (empty) {
      ASSERT_NE(table.text[key], nullptr) << key;
      EXPECT_STREQ(table.text[key], "") << key;
    } else {
      EXPECT_EQ(table.text[key], nullptr) << key;
      EXPECT_STREQ(KeyText(table, key), "") << key;  // shown like the empty text
    }
  }
}

TEST(ParsePatchHeader, ValidHeadersFillSlotsAndFindTheRecords) {
  struct Case {
    const char* name;
    std::string bytes;
    size_t recordsOffset;
  };
  const std::string entries = Entry("0", "Product") + Entry("2", "2.0") + Entry("5", "%s %s");
  const Case cases[] = {
      {"no texts", kMagic + "R", 4},
      {"three texts", entries + kMagic + "RR", entries.size() + 4},
      {"leading zero", Entry("07", "x") + kMagic + "R", 5 + 4},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.bytes);
    ASSERT_NE(parsed.records, nullptr) << c.name;
    EXPECT_EQ(size_t(parsed.records - parsed.begin), c.recordsOffset) << c.name;
  }
}

TEST(ParsePatchHeader, TextsPointIntoTheFile) {
  const std::string bytes = Entry("0", "Product") + Entry("13", "first") + Entry("13", "second") +
                            Entry("9", "") + Entry("07", "x") + Entry("16", "ignored") +
                            kMagic + "R";
  Parsed parsed = Parse(bytes);
  ASSERT_NE(parsed.records, nullptr);
  EXPECT_STREQ(parsed.table.text[0], "Product");
  EXPECT_EQ(parsed.table.text[0], bytes.data() + 2);  // not copied
  EXPECT_STREQ(parsed.table.text[13], "second");       // the later entry wins
  ASSERT_NE(parsed.table.text[9], nullptr);            // empty differs from absent
  EXPECT_STREQ(parsed.table.text[9], "");
  EXPECT_STREQ(parsed.table.text[7], "x");
  EXPECT_STREQ(parsed.table.text[16], "ignored");
  EXPECT_EQ(parsed.table.text[3], nullptr);
  EXPECT_STREQ(parsed.table.text[1], "");
}

TEST(ParsePatchHeader, FaultyHeadersAreRefusedWithTheFaultAndItsOffset) {
  using Kind = PatchFaultKind;
  struct Case {
    const char* name;
    std::string bytes;
    Kind kind;
    uint32_t offset;
  };
  const Case cases[] = {
      {"empty file", "", Kind::NoMagic, 0},
      {"magic only, no record byte", kMagic, Kind::NoRecords, 0},
      {"magic missing", Entry("0", "x") + "XIF0R", Kind::NoMagic, 4},
      {"key 50", Entry("50", "x") + kMagic + "R", Kind::KeyAboveLimit, 0},
      {"ten-digit key", Entry("1", "x") + Entry("4294967297", "x") + kMagic + "R",
       Kind::KeyAboveLimit, 4},
      {"digits then not a colon", "12;x" + std::string(1, '\0') + kMagic + "R",
       Kind::KeyWithoutColon, 0},
      {"digits run to the end", "12", Kind::KeyDigitsRunToEnd, 0},
      {"text runs to the end", "12:abc", Kind::TextRunsToEnd, 0},
      {"last NUL is the last byte", Entry("1", "x"), Kind::NoMagic, 4},
      {"magic ends the file", Entry("1", "x") + kMagic, Kind::NoRecords, 4},
      {"magic cut short", Entry("1", "x") + "DIF", Kind::NoMagic, 4},
      {"text after entries is not the magic", Entry("1", "x") + "ADIF0R", Kind::NoMagic, 4},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.bytes);
    EXPECT_EQ(parsed.records, nullptr) << c.name;
    EXPECT_EQ(parsed.fault.kind, c.kind) << c.name;
    EXPECT_EQ(parsed.fault.offset, c.offset) << c.name;
  }
}

TEST(ParsePatchHeader, SlotsSetBeforeAFaultKeepTheirTexts) {
  const std::string bytes = Entry("32", "bad data %s") + Entry("60", "x") + kMagic + "R";
  Parsed parsed = Parse(bytes);
  EXPECT_EQ(parsed.records, nullptr);
  EXPECT_STREQ(parsed.table.text[32], "bad data %s");

  const std::string late = Entry("60", "x") + Entry("32", "never read") + kMagic + "R";
  Parsed other = Parse(late);
  EXPECT_EQ(other.records, nullptr);
  EXPECT_STREQ(other.table.text[32], "");
}

}  // namespace
