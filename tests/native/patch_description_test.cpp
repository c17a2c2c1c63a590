#include "builder/patch_description.h"

#include <gtest/gtest.h>

#include <fstream>

#include "builder/format/delta_output.h"
#include "builder/format/patch_writer.h"
#include "patch/crc32.h"
#include "patch/records.h"

namespace {

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

ByteView RecordsOf(const Bytes& patch, size_t headerSize) {
  return ByteView{patch.data() + headerSize + 4, uint32_t(patch.size() - headerSize - 4)};
}

}  // namespace

TEST(AssemblePatch, TextsInOrderWithCodePageAndFullRecords) {
  const Bytes patch = AssemblePatch(R"({
    "codepage": 932,
    "texts": {"0": "製品", "07": "x", "13": "%sを更新中です"},
    "entries": [{"key": "13", "text": {"hex": "41"}}],
    "records": [{"name": "a.txt", "flags": 12, "lastWriteTime": 4294967297, "content": "hello"}]
  })", "");
  PatchFile expected;
  expected.entries = {{"0", "\x90\xbb\x95\x69"}, {"07", "x"}, {"13", "%s\x82\xf0\x8d\x58\x90\x56\x92\x86\x82\xc5\x82\xb7"}, {"13", "A"}};
  PatchRecord record = FullRecord("a.txt", B("hello"), FlagNoCreate | FlagOptional);
  record.lastWriteTime = 0x100000001ull;
  expected.records = {record};
  EXPECT_EQ(patch, WritePatch(expected));
}

TEST(AssemblePatch, DeltaRecordsFromEveryFormDecodeToTheirNewFile) {
  const std::string folder = ::testing::TempDir();
  std::ofstream(folder + "old.bin", std::ios::binary) << "The quick brown fox jumps over the lazy dog";
  std::ofstream(folder + "new.bin", std::ios::binary) << "The quick brown cat jumps over the lazy dog!";
  const Bytes patch = AssemblePatch(R"({
    "records": [
      {"name": "f", "old": {"file": "old.bin"}, "new": {"file": "new.bin"}},
      {"name": "f", "old": "ABCDEFGH", "ops": [{"literal": "xy"}, {"copy": {"position": 0, "new": "ABCE"}}]},
      {"name": "f", "old": "ABCDEFGH", "blocks": [{"literal": "xy"},
         {"copy": {"length": 4, "distance": 0, "patches": [{"skip": 3}, {"byteAdd": 1}]}},
         {"copy": {"length": 2, "distance": 2, "patches": [{"wordAdd": 257}]}}]}
    ]})", folder);
  const Bytes expectedNew[] = {B("The quick brown cat jumps over the lazy dog!"), B("xyABCE"), B("xyABCEHI")};
  const Bytes olds[] = {B("The quick brown fox jumps over the lazy dog"), B("ABCDEFGH"), B("ABCDEFGH")};
  const ByteView records = RecordsOf(patch, 0);
  ASSERT_TRUE(ValidateRecordsArea(records));
  FileRecord record;
  uint32_t offset = 0;
  for (int i = 0; i < 3; ++i, offset = NextRecord(record)) {
    ASSERT_TRUE(ReadRecord(records, offset, record));
    EXPECT_EQ(record.oldSize, olds[i].size());
    EXPECT_EQ(record.oldCrc, Crc32(olds[i].data(), uint32_t(olds[i].size())));
    const Bytes body(record.body.data, record.body.data + record.body.size);
    EXPECT_EQ(DecodeDelta(body, olds[i]), expectedNew[i]) << i;
    EXPECT_EQ(record.newCrc, Crc32(expectedNew[i].data(), uint32_t(expectedNew[i].size())));
  }
}

TEST(AssemblePatch, OverridesAndFaults) {
  const Bytes patch = AssemblePatch(R"({
    "magic": false,
    "records": [{"name": "a", "content": "x", "oldSize": 7, "oldCrc": 8, "newCrc": 9,
                 "recordLength": 100, "flagBytes": [4, 1]},
                {"name": "d", "old": "AB", "ops": [{"copy": {"position": 0, "new": "AB"}}],
                 "deltaHeader": {"lengthsOffset": 1000}}],
    "truncate": 70,
    "append": {"hex": "DE AD"}
  })", "");
  PatchFile expected;
  expected.magic = false;
  PatchRecord full = FullRecord("a", B("x"));
  full.oldSize = 7, full.oldCrc = 8, full.newCrc = 9, full.recordLength = 100;
  full.flagBytes = Bytes{4, 1};
  expected.records = {full};
  const Bytes written = WritePatch(expected);
  ASSERT_EQ(patch.size(), 72u);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), patch.begin()));
  EXPECT_EQ(LoadLe32(patch.data() + written.size() + 24 + 2 + 8), 1000u);  // "d\0" then the header
  EXPECT_EQ(patch[70], 0xDE);
  EXPECT_EQ(patch[71], 0xAD);
}

TEST(AssemblePatch, ReadableErrors) {
  const char* descriptions[] = {
      R"({"records": [{"name": "a"}]})",
      R"({"records": [{"name": "a", "content": {"file": "no/such/file"}}]})",
      R"({"codepage": 932, "texts": {"0": "\u00e9\u0301\u2603"}})",
      R"({"records": [{"name": "a", "old": "AB", "ops": [{"copy": {"position": 1, "new": "BCD"}}]}]})",
      R"({"records": [{"name": "a", "content": {"hex": "ABC"}}]})",
      "{not json",
  };
  for (const char* description : descriptions)
    EXPECT_THROW(AssemblePatch(description, "/nonexistent"), std::exception) << description;
}
