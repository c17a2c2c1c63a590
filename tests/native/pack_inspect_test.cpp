// Inspection of patches and packed installers: what is listed, and the first
// fault named with its offset. Fixtures come from the patch writer and the
// packer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "builder/pack.h"
#include "builder/pack_inspect.h"
#include "builder/pack_stub.h"
#include "patch/crc32.h"
#include "patch/records.h"
#include "tests/support/simple_delta.h"

namespace {

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), uint32_t(bytes.size())}; }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Bytes kOld = Text("old contents of the program, and more old contents");
const Bytes kNew = Text("new contents of the program, and more old contents!");

PatchFile SamplePatch() {
  PatchFile patch;
  patch.SetText(0, "Product");
  patch.SetText(13, "first");
  patch.SetText(5, "%s %s");
  patch.entries.push_back({"013", "Updating %s"});
  patch.records.push_back(DeltaRecord("app.exe", kOld, SimpleDelta(kOld, kNew), FlagNoCreate | PlatformNt));
  patch.records.push_back(FullRecord("app.exe", kNew));
  patch.records.push_back(FullRecord("readme.txt", Text("read me\n"), FlagOptional));
  return patch;
}

TEST(InspectPatch, ListsTextsByKeyAndEveryRecord) {
  const Bytes bytes = WritePatch(SamplePatch());
  const PatchInspection result = InspectPatch(View(bytes));
  ASSERT_FALSE(result.fault) << result.fault->Describe();
  EXPECT_TRUE(result.warnings.empty());

  ASSERT_EQ(result.texts.size(), 4u);
  EXPECT_EQ(result.texts[0].key, 0);
  EXPECT_EQ(result.texts[0].offset, 0u);
  EXPECT_EQ(result.texts[0].text, Text("Product"));
  EXPECT_EQ(result.texts[1].offset, 10u);  // after "0:Product\0"
  EXPECT_EQ(result.texts[1].key, 13);
  EXPECT_FALSE(result.texts[1].inEffect);  // "013" later gives key 13 again
  EXPECT_EQ(result.texts[3].key, 13);
  EXPECT_TRUE(result.texts[3].inEffect);
  EXPECT_EQ(result.texts[3].text, Text("Updating %s"));

  const uint32_t magic = 10 + 9 + 8 + 16;
  EXPECT_EQ(result.recordsOffset, magic + 4);
  ASSERT_EQ(result.records.size(), 3u);
  const InspectedRecord& delta = result.records[0];
  EXPECT_EQ(delta.offset, magic + 4);
  EXPECT_EQ(delta.name, "app.exe");
  EXPECT_TRUE(delta.delta);
  EXPECT_EQ(delta.flags, FlagNoCreate | PlatformNt);
  EXPECT_EQ(delta.oldSize, kOld.size());
  EXPECT_EQ(delta.oldCrc, Crc32(kOld.data(), uint32_t(kOld.size())));
  EXPECT_EQ(delta.newCrc, Crc32(kNew.data(), uint32_t(kNew.size())));
  const InspectedRecord& full = result.records[1];
  EXPECT_FALSE(full.delta);
  EXPECT_EQ(full.bodySize, kNew.size());
  EXPECT_EQ(full.oldSize, 0u);
  EXPECT_EQ(result.records[2].flags, FlagOptional);
  EXPECT_EQ(result.records[2].offset, full.offset + 24 + 8 + kNew.size());
}

struct FaultCase {
  const char* name;
  std::function<Bytes()> build;
  uint32_t offset;
  const char* message;
};

Bytes WithRecord(const PatchRecord& record) {
  PatchFile patch;
  patch.SetText(0, "P");  // "0:P\0DIF0": records begin at 8
  patch.records.push_back(record);
  return WritePatch(patch);
}

TEST(InspectPatch, NamesTheFirstFaultAndItsOffset) {
  const std::vector<FaultCase> cases = {
      {"key above 49", [] { PatchFile p; p.SetText(0, "a"); p.SetText(50, "b");
                            p.records.push_back(FullRecord("f", Text("x"))); return WritePatch(p); },
       4, "key 50 is above 49"},
      {"key of many digits", [] { return Text(std::string("1:a") + '\0' + "0000000000099:b"); },
       4, "key 0000000000099 is above 49"},
      {"digits without ':'", [] { return Text("12x"); }, 0, "not followed by ':'"},
      {"digits to the end", [] { return Text("12"); }, 0, "run to the end"},
      {"text to the end", [] { return Text("7:abc"); }, 0, "text of key 7 runs to the end"},
      {"no magic", [] { PatchFile p; p.SetText(1, "v"); p.magic = false;
                        p.records.push_back(FullRecord("f", Text("x"))); return WritePatch(p); },
       4, "no \"DIF0\""},
      {"magic ends the file", [] { return Text(std::string("1:v") + '\0' + "DIF0"); }, 4,
       "no file records"},
      {"record length past the end",
       [] { PatchRecord r = FullRecord("f.txt", Text("abc")); r.recordLength = 1000; return WithRecord(r); },
       8, "runs past the end of the file"},
      {"record length too small",
       [] { PatchRecord r = FullRecord("f.txt", Text("abc")); r.recordLength = 20; return WithRecord(r); },
       8, "too small"},
      {"content differs from newCrc",
       [] { PatchRecord r = FullRecord("f.txt", Text("abc")); r.newCrc ^= 1; return WithRecord(r); },
       8, "content of 'f.txt' has CRC"},
      {"delta header outside its body",
       [] { PatchRecord r = DeltaRecord("f", kOld, SimpleDelta(kOld, kNew)); r.body.resize(20);
            return WithRecord(r); },
       8, "delta header of 'f'"},
      {"record name leaving its folder",
       [] { PatchRecord r = FullRecord("..\\f.txt", Text("abc")); r.allowUnsafeName = true;
            return WithRecord(r); },
       8, "record name '..\\f.txt' is refused"},
      {"second record cut short",
       [] { Bytes b = WithRecord(FullRecord("f.txt", Text("abc"))); b.insert(b.end(), {9, 0}); return b; },
       8 + 24 + 6 + 3, "record cut short"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = c.build();
    const PatchInspection result = InspectPatch(View(bytes));
    ASSERT_TRUE(result.fault);
    EXPECT_EQ(result.fault->offset, c.offset);
    EXPECT_NE(result.fault->message.find(c.message), std::string::npos) << result.fault->message;
  }
}

TEST(InspectPatch, WarnsAboutAScatteredGroup) {
  PatchFile patch;
  patch.records.push_back(FullRecord("A.exe", Text("1")));
  patch.records.push_back(FullRecord("b.exe", Text("2")));
  patch.records.push_back(FullRecord("a.EXE", Text("3")));
  const Bytes bytes = WritePatch(patch);
  const PatchInspection result = InspectPatch(View(bytes));
  EXPECT_FALSE(result.fault);
  ASSERT_EQ(result.warnings.size(), 1u);
  EXPECT_NE(result.warnings[0].find("second group"), std::string::npos);
}

Bytes Stub() {
  const ByteView stub = EmbeddedStub();
  return Bytes(stub.data, stub.data + stub.size);
}

Bytes Packed(const Bytes& payload, const std::string& switches = "") {
  std::vector<std::string> warnings;
  return PackInstaller(Stub(), payload, switches, warnings);
}

TEST(InspectInstaller, ListsSwitchesEntriesAndThePatch) {
  if (EmbeddedStub().size == 0) GTEST_SKIP() << "installer program not built";
  const Bytes patch = WritePatch(SamplePatch());
  const Bytes program = Text("MZ a program to run afterwards");
  const Bytes installer =
      Packed(BuildPayload({{"u.dif", patch}, {"after.exe", program}}, CompressionOptions{0}), " /s");
  const InstallerInspection result = InspectInstaller(installer);
  ASSERT_FALSE(result.fault) << result.fault->Describe();
  EXPECT_TRUE(result.checksumMatches);
  EXPECT_EQ(result.switches, " /s");
  ASSERT_EQ(result.entries.size(), 3u);
  EXPECT_EQ(result.entries[0].name, "arg00");
  EXPECT_EQ(result.entries[0].compressedSize, 0u);
  EXPECT_FALSE(result.entries[0].inflatedSize);
  EXPECT_EQ(result.entries[1].inflatedSize, patch.size());
  EXPECT_EQ(result.entries[2].inflatedSize, program.size());
  EXPECT_EQ(result.patchName, "u.dif");
  ASSERT_TRUE(result.patch);
  EXPECT_EQ(result.patch->records.size(), 3u);
}

TEST(InspectInstaller, NamesFaultsOfTheProgramThePayloadAndThePatch) {
  if (EmbeddedStub().size == 0) GTEST_SKIP() << "installer program not built";
  const Bytes goodPayload = BuildPayload({{"u.dif", WritePatch(SamplePatch())}}, CompressionOptions{0});
  Bytes badPatch = Text("51:x");
  badPatch.push_back(0);
  Bytes lengthPastEnd;
  AppendRawPayloadEntry(lengthPastEnd, "arg00", {});
  AppendRawPayloadEntry(lengthPastEnd, "u.dif", CompressZlib(Text("DIF0x")));
  StoreLe32(&lengthPastEnd[6 + 4 + 6], LoadLe32(&lengthPastEnd[6 + 4 + 6]) + 1);
  Bytes damagedStream;
  AppendRawPayloadEntry(damagedStream, "arg00", {});
  AppendRawPayloadEntry(damagedStream, "u.dif", Bytes{0x78, 0xDA, 0xFF, 0xFF});

  struct Case {
    const char* name;
    Bytes installer;
    const char* where;
    uint32_t offset;
    const char* message;
  };
  Bytes oddSize = Packed(goodPayload);
  oddSize.insert(oddSize.end(), {0, 0});
  Bytes badSwitches = Packed(goodPayload);
  badSwitches[kSwitchAreaOffset] = '/';
  badSwitches[kSwitchAreaOffset + 1] = 's';
  const std::vector<Case> cases = {
      {"size not a multiple of 4", oddSize, "program", uint32_t(oddSize.size()), "multiple of 4"},
      {"switches without a space", badSwitches, "program", kSwitchAreaOffset, "begin with a space"},
      {"no payload", Stub(), "program", 0, "no payload"},
      {"length past the end", Packed(lengthPastEnd), "payload", 6 + 4, "runs 1 bytes past"},
      {"damaged stream", Packed(damagedStream), "payload", 6 + 4, "entry 'u.dif'"},
      {"dummy entry only", Packed(Bytes{'a', 'r', 'g', '0', '0', 0, 0, 0, 0, 0}), "payload", 0, "no patch"},
      {"faulty patch", Packed(BuildPayload({{"u.dif", badPatch}}, CompressionOptions{0})), "patch u.dif", 0,
       "key 51 is above 49"},
      {"not a program", Text("MZ"), "program", 0, "no MZ header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const InstallerInspection result = InspectInstaller(c.installer);
    ASSERT_TRUE(result.fault);
    EXPECT_EQ(result.fault->where, c.where);
    EXPECT_EQ(result.fault->offset, c.offset);
    EXPECT_NE(result.fault->message.find(c.message), std::string::npos) << result.fault->message;
  }
}

TEST(InspectText, DecodesTheCodePageAndEscapesWhatDoesNotConvert) {
  EXPECT_EQ(DecodeText("\x83\x65\x83\x58\x83\x67", 932), "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88");  // テスト
  EXPECT_EQ(DecodeText("caf\xe9", 1252), "caf\xc3\xa9");
  EXPECT_EQ(DecodeText("a\x80" "b", 932), "a\\x80b");
  EXPECT_EQ(DecodeText("plain", 0), "plain");
  EXPECT_THROW(DecodeText("x", 99999), std::runtime_error);
  EXPECT_STREQ(TextRoleSummary(5), "caption format (product, new version)");
  EXPECT_STREQ(TextRoleSummary(17), "no role");
  EXPECT_STREQ(TextRoleSummary(50), "");
}

}  // namespace
