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
};

Parsed Parse(const std::string& bytes) {
  Parsed parsed;
  SetDefaultStrings(parsed.table);
  parsed.begin = reinterpret_cast<const uint8_t*>(bytes.data());
  parsed.records = ParsePatchHeader(parsed.begin, uint32_t(bytes.size()), parsed.table);
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

TEST(ParsePatchHeader, FaultyHeadersAreRefused) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"magic only, no record byte", kMagic},
      {"magic missing", Entry("0", "x") + "XIF0R"},
      {"key 50", Entry("50", "x") + kMagic + "R"},
      {"ten-digit key", Entry("4294967297", "x") + kMagic + "R"},
      {"digits then not a colon", "12;x" + std::string(1, '\0') + kMagic + "R"},
      {"digits run to the end", "12"},
      {"text runs to the end", "12:abc"},
      {"last NUL is the last byte", Entry("1", "x")},
      {"magic ends the file", Entry("1", "x") + kMagic},
      {"magic cut short", Entry("1", "x") + "DIF"},
      {"text after entries is not the magic", Entry("1", "x") + "ADIF0R"},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.bytes).records, nullptr) << c.name;
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
