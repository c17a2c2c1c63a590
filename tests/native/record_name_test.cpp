#include "patch/record_name.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "builder/format/patch_writer.h"
#include "builder/patch_description.h"
#include "patch/records.h"

namespace {

struct NameCase {
  std::string name;
  bool safe;
};

// Shift-JIS: "ソ" is 83 5C, "表" 95 5C, "ポ" 83 7C, "フ" 83 74.
const std::string kSo = "\x83\x5C";
const std::string kHyo = "\x95\x5C";
const std::string kPo = "\x83\x7C";

const NameCase kNames[] = {
    // Plain relative names.
    {"app.exe", true},
    {"bin\\plugin.dll", true},
    {"bin/plugin.dll", true},
    {"a\\b\\c\\d.txt", true},
    {".hidden", true},
    {"file..txt", true},
    {" leading space.txt", true},
    {"console.txt", true},
    {"com10.txt", true},
    {"com0", true},
    {"lpt", true},
    {"nul_device", true},
    {"x.con", true},
    {std::string(kRecordNameMaxLength, 'a'), true},
    {"\x83\x74\x83\x40\x83\x43\x83\x8B.txt", true},  // a Shift-JIS name without 5C or 7C
    {kSo + "\x83\x74\x83\x67.dll", true},               // 5C inside a component is read as a separator
    {"\x83\x8C" + kPo + "\x81\x5B\x83\x67.txt", true},  // 7C as the second byte of a character
    // Empty and over-long.
    {"", false},
    {std::string(kRecordNameMaxLength + 1, 'a'), false},
    {std::string(200, 'a') + "\\" + std::string(200, 'b'), false},
    // Leaving the folder.
    {"..", false},
    {".", false},
    {"..\\x.dll", false},
    {"../x.dll", false},
    {"bin\\..\\..\\x.dll", false},
    {"bin/./x.dll", false},
    {"bin\\..", false},
    // Absolute, network and device paths.
    {"\\x.dll", false},
    {"/x.dll", false},
    {"\\\\server\\share\\x.dll", false},
    {"\\\\?\\C:\\x.dll", false},
    {"\\\\.\\PhysicalDrive0", false},
    {"C:x.dll", false},
    {"C:\\Windows\\x.dll", false},
    // Streams and empty components.
    {"x.dll:stream", false},
    {"x.dll::$DATA", false},
    {"bin\\\\x.dll", false},
    {"bin//x.dll", false},
    {"bin\\", false},
    {"bin/", false},
    // Trailing dots and spaces, in any component.
    {"x.dll.", false},
    {"x.dll ", false},
    {"bin.\\x.dll", false},
    {"bin \\x.dll", false},
    {"...", false},
    // Device names, any case, with an extension, in any component.
    {"CON", false},
    {"con", false},
    {"Prn.txt", false},
    {"aux.dll", false},
    {"NUL", false},
    {"nul.txt", false},
    {"nul .txt", false},
    {"bin\\nul.txt", false},
    {"nul\\x.dll", false},
    {"COM1", false},
    {"com9.log", false},
    {"LPT1", false},
    {"lpt5.txt", false},
    {"COM\xB9", false},  // superscript one in code page 1252
    {"conin$", false},
    {"CONOUT$.txt", false},
    // Control bytes and reserved characters.
    {"a\x01" "b.txt", false},
    {"a\tb.txt", false},
    {"a\x1F", false},
    {"*.dll", false},
    {"x?.dll", false},
    {"x\".dll", false},
    {"x<.dll", false},
    {"x>.dll", false},
    {"x|y.dll", false},
    // A Shift-JIS 5C that makes an empty or trailing component is refused.
    {"\x88\xEA\x97\x97" + kHyo, false},
    {kSo + "\\x.dll", false},
    {kSo + kSo, false},
};

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), uint32_t(bytes.size())}; }

Bytes RecordsAreaNamed(const std::string& name) {
  PatchFile patch;
  PatchRecord record = FullRecord(name, Bytes{'x'});
  record.allowUnsafeName = true;
  patch.records.push_back(record);
  const Bytes file = WritePatch(patch);
  return Bytes(file.begin() + 4, file.end());
}

}  // namespace

TEST(RecordName, SafeRelativeNamesPassAndEveryHostileFormIsRefused) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE("name: " + c.name);
    const char* fault = RecordNameFault(c.name.c_str());
    EXPECT_EQ(fault == nullptr, c.safe) << (fault ? fault : "accepted");
    EXPECT_EQ(IsSafeRecordName(c.name.c_str()), c.safe);
  }
  EXPECT_FALSE(IsSafeRecordName(nullptr));
}

// Read with the lead bytes of Shift-JIS, as the installer reads names on a
// Japanese system: 0x5C after a lead byte belongs to its character.
const NameCase kShiftJisNames[] = {
    {"\x88\xEA\x97\x97" + kHyo, true},          // ends in 95 5C
    {kSo + "\\x.dll", true},                      // 83 5C, then a separator
    {kSo + kSo, true},
    {"\x95\x5C\x8E\xA6.dll", true},             // "表示.dll"
    {kSo + "\x83\x74\x83\x67\\\x90\xDD\x92\xE8.ini", true},  // "ソフト\設定.ini"
    {"\x83\x8C" + kPo + "\x81\x5B\x83\x67.txt", true},
    // Every hostile form stays refused.
    {kHyo + "..\\x.dll", false},  // a component that ends in a dot
    {kHyo + "\\..\\x.dll", false},
    {kSo + "\\..", false},
    {"..\\" + kHyo, false},
    {"\\" + kHyo, false},
    {"C:" + kHyo, false},
    {kHyo + "\\\\x.dll", false},
    {kHyo + "\\nul.txt", false},
    {kHyo + " \\x.dll", false},
    {kHyo + "\\x.dll:stream", false},
    {kHyo + "|.dll", false},
};

TEST(RecordName, WithShiftJisLeadBytesASecondByte5CEndsNoComponent) {
  for (const NameCase& c : kShiftJisNames) {
    SCOPED_TRACE("name: " + c.name);
    const char* fault = RecordNameFault(c.name.c_str(), IsShiftJisLeadByte);
    EXPECT_EQ(fault == nullptr, c.safe) << (fault ? fault : "accepted");
    const Bytes area = RecordsAreaNamed(c.name);
    EXPECT_EQ(ValidateRecordsArea(View(area), IsShiftJisLeadByte), c.safe);
    PatchFile patch;
    patch.leadBytes = IsShiftJisLeadByte;
    patch.records.push_back(FullRecord(c.name, Bytes{'x'}));
    if (c.safe)
      EXPECT_NO_THROW(WritePatch(patch));
    else
      EXPECT_THROW(WritePatch(patch), std::invalid_argument);
  }
}

TEST(RecordName, TheInstallersCheckOfTheRecordsAreaRefusesAHostileName) {
  for (const NameCase& c : kNames) {
    if (c.name.empty()) continue;  // a record always has a name of at least one byte
    SCOPED_TRACE("name: " + c.name);
    const Bytes area = RecordsAreaNamed(c.name);
    EXPECT_EQ(ValidateRecordsArea(View(area)), c.safe);
  }
}

TEST(RecordName, WritersRefuseAHostileNameUnlessTheFixtureAsksForIt) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE("name: " + c.name);
    PatchFile patch;
    patch.records.push_back(FullRecord(c.name, Bytes{'x'}));
    if (c.safe) {
      EXPECT_NO_THROW(WritePatch(patch));
    } else {
      EXPECT_THROW(WritePatch(patch), std::invalid_argument);
      patch.records[0].allowUnsafeName = true;
      EXPECT_NO_THROW(WritePatch(patch));
    }
  }
  PatchRecord withNul = FullRecord(std::string("a.txt\0b", 7), Bytes{'x'});
  EXPECT_THROW(WriteRecord(withNul), std::invalid_argument);
}

TEST(RecordName, ARefusalCausedByAShiftJisSecondByteSaysSo) {
  struct Case {
    std::string name;
    bool noted;
  } cases[] = {
      {"\x88\xEA\x97\x97" + kHyo, true},  // ends in 95 5C: an empty last component
      {kSo + "\\x.dll", true},            // 83 5C then a separator: an empty component
      {"x.dll\\", false},
      {"a\\\\b", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HasShiftJisSeparatorByte(c.name.c_str()), c.noted);
    try {
      WriteRecord(FullRecord(c.name, Bytes{'x'}));
      ADD_FAILURE() << "written";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).find("double-byte") != std::string::npos, c.noted)
          << error.what();
    }
  }
}

TEST(RecordName, AssembleRefusesAHostileNameUnlessTheRecordAllowsIt) {
  const std::string hostile = R"({"records": [{"name": "..\\evil.dll", "content": "x"}]})";
  try {
    AssemblePatch(hostile, "");
    ADD_FAILURE() << "a hostile name was written";
  } catch (const std::exception& error) {
    EXPECT_NE(std::string(error.what()).find("..\\evil.dll"), std::string::npos) << error.what();
  }
  const std::string allowed =
      R"({"records": [{"name": "..\\evil.dll", "content": "x", "allowUnsafeName": true}]})";
  const Bytes file = AssemblePatch(allowed, "");
  const Bytes area(file.begin() + 4, file.end());
  FileRecord record;
  ASSERT_TRUE(ReadRecord(View(area), 0, record));
  EXPECT_STREQ(record.name, "..\\evil.dll");
  EXPECT_FALSE(ValidateRecordsArea(View(area)));
}
