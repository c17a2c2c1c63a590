#include "patch/records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "patch/crc32.h"

namespace {

Bytes ToBytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

// The records area of a patch without header entries: everything after "DIF0".
Bytes RecordsArea(const std::vector<PatchRecord>& records) {
  PatchFile patch;
  patch.records = records;
  Bytes file = WritePatch(patch);
  return Bytes(file.begin() + 4, file.end());
}

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), uint32_t(bytes.size())}; }

Bytes SmallDelta() {
  const Bytes old = ToBytes("ABCDEFGH");
  DeltaWriter writer(old);
  writer.Literal(ToBytes("xy"));
  writer.Copy(0, ToBytes("ABCE"));
  return writer.Finish();
}

}  // namespace

TEST(RecordFlags, BytesBelowSpaceCarryFiveBitsEach) {
  struct Case {
    Bytes flagBytes;
    uint32_t flags;
  } cases[] = {
      {{}, 0},
      {{0x04}, FlagNoCreate},
      {{0x04, 0x01}, 0x24},
      {{0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x03}, 0xFFFFFFFFu},
      {{0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F}, 0xFFFFFFFFu},  // beyond 32 bits: dropped
  };
  for (const Case& c : cases) {
    PatchRecord full = FullRecord("a.txt", ToBytes("new"));
    full.flagBytes = c.flagBytes;
    const Bytes area = RecordsArea({full});
    FileRecord record;
    ASSERT_TRUE(ReadRecord(View(area), 0, record));
    EXPECT_EQ(record.flags, c.flags);
    EXPECT_STREQ(record.name, "a.txt");
    uint32_t flags = 0;
    EXPECT_EQ(ReadRecordFlags(View(area).Slice(0, record.recordLength), flags),
              reinterpret_cast<const uint8_t*>(record.name));
    EXPECT_EQ(flags, c.flags);
  }
  EXPECT_EQ(FlagBytesFor(0x24), (Bytes{0x04, 0x01}));
}

TEST(Records, WalkReadsEveryFieldAndTheFullBodyMatchesNewCrc) {
  PatchRecord first = FullRecord("App.exe", ToBytes("new content"), FlagNoCreate | FlagOptional);
  first.lastWriteTime = 0x01D2030405060708ull;
  const PatchRecord second = DeltaRecord("app.EXE", ToBytes("ABCDEFGH"), SmallDelta(), PlatformNt);
  const Bytes area = RecordsArea({first, second});
  ASSERT_TRUE(ValidateRecordsArea(View(area)));

  FileRecord record;
  ASSERT_TRUE(ReadRecord(View(area), 0, record));
  EXPECT_EQ(record.oldSize, 0u);
  EXPECT_EQ(record.oldCrc, 0u);
  EXPECT_EQ(record.flags, FlagNoCreate | FlagOptional);
  EXPECT_EQ(record.lastWriteTimeLow, 0x05060708u);
  EXPECT_EQ(record.lastWriteTimeHigh, 0x01D20304u);
  const ByteView body = RecordBody(record);
  EXPECT_EQ(std::string(body.data, body.data + body.size), "new content");
  EXPECT_EQ(Crc32(body.data, body.size), record.newCrc);

  ASSERT_TRUE(ReadRecord(View(area), NextRecord(record), record));
  EXPECT_STREQ(record.name, "app.EXE");
  EXPECT_EQ(record.flags & FlagPlatformMask, PlatformNt);
  EXPECT_EQ(record.oldSize, 8u);
  EXPECT_EQ(record.oldCrc, Crc32(reinterpret_cast<const uint8_t*>("ABCDEFGH"), 8));
  EXPECT_EQ(record.newCrc, Crc32(reinterpret_cast<const uint8_t*>("xyABCE"), 6));
  EXPECT_EQ(NextRecord(record), area.size());
  EXPECT_FALSE(ReadRecord(View(area), NextRecord(record), record));  // end of the area
}

// Each case breaks one record and must stop every reader at that record.
TEST(Records, BrokenRecordsStopTheWalkAndFailValidation) {
  const PatchRecord good = FullRecord("name", ToBytes("body"));
  const uint32_t goodLength = uint32_t(WriteRecord(good).size());  // 24 + 5 + 4
  using Kind = PatchFaultKind;
  struct Case {
    const char* what;
    std::optional<uint32_t> recordLength;
    std::optional<Bytes> flagBytes;
    Kind layout;  // None: the record reads
  } cases[] = {
      {"length 0", 0u, {}, Kind::RecordTooSmall},
      {"length below the numbers", 23u, {}, Kind::RecordTooSmall},
      {"length cuts the name before its NUL", 28u, {}, Kind::NameWithoutNul},
      {"length ends right after the NUL", 29u, {}, Kind::None},
      {"length past the end of the area", goodLength + 1, {}, Kind::RecordRunsPastEnd},
      {"length 0xFFFFFFFF", 0xFFFFFFFFu, {}, Kind::RecordRunsPastEnd},
      {"flag bytes up to the end, no name", 27u, Bytes{1, 2, 3}, Kind::NoName},
  };
  for (const Case& c : cases) {
    PatchRecord record = good;
    record.recordLength = c.recordLength;
    if (c.flagBytes) record.flagBytes = c.flagBytes;
    const Bytes area = RecordsArea({record});
    FileRecord read;
    EXPECT_EQ(ReadRecord(View(area), 0, read), c.layout == Kind::None) << c.what;
    EXPECT_EQ(ReadRecordLayout(View(area), 0, read), c.layout) << c.what;
    // A shorter record leaves bytes behind that cannot form a record either.
    PatchFault fault;
    EXPECT_FALSE(ValidateRecordsArea(View(area), nullptr, &fault)) << c.what;
    const bool reads = c.layout == Kind::None;
    EXPECT_EQ(fault.kind, reads ? Kind::RecordCutShort : c.layout) << c.what;
    EXPECT_EQ(fault.offset, reads ? 29u : 0u) << c.what;
  }
  const Bytes exact = RecordsArea({good});
  EXPECT_TRUE(ValidateRecordsArea(View(exact)));
  EXPECT_FALSE(ValidateRecordsArea(View(exact).Slice(0, 0)));
  Bytes trailing = exact;
  trailing.push_back(0);
  PatchFault fault;
  EXPECT_FALSE(ValidateRecordsArea(View(trailing), nullptr, &fault));
  EXPECT_EQ(fault.kind, Kind::RecordCutShort);
  EXPECT_EQ(fault.offset, goodLength);

  PatchRecord unsafe = FullRecord("..\\name", ToBytes("body"));
  unsafe.allowUnsafeName = true;
  const Bytes refused = RecordsArea({good, unsafe});
  EXPECT_FALSE(ValidateRecordsArea(View(refused), nullptr, &fault));
  EXPECT_EQ(fault.kind, Kind::UnsafeName);
  EXPECT_EQ(fault.offset, goodLength);
}

TEST(Records, ValidationChecksEachDeltaHeader) {
  const Bytes old = ToBytes("ABCDEFGH");
  struct Case {
    const char* what;
    int field;  // header field to change, -1 to cut the body instead
    uint32_t value;
    bool valid;
  } cases[] = {
      {"as written", 0, 32, true},
      {"offset at the end of the body", 7, 0, true},  // value replaced by the body size
      {"offset past the body", 5, 1, false},          // body size + 1
      {"lengths end before they start", 2, 0, false},  // lengthsOffset = positionsOffset + 1
      {"body shorter than the header", -1, 31, false},
  };
  for (const Case& c : cases) {
    PatchRecord record = DeltaRecord("f", old, SmallDelta());
    const uint32_t size = uint32_t(record.body.size());
    if (c.field < 0) {
      record.body.resize(c.value);
    } else if (c.field == 7) {
      StoreLe32(record.body.data() + 28, size);
    } else if (c.field == 5) {
      StoreLe32(record.body.data() + 20, size + c.value);
    } else if (c.field == 2) {
      StoreLe32(record.body.data() + 8, LoadLe32(record.body.data() + 12) + 1);
    }
    PatchFault fault;
    EXPECT_EQ(ValidateRecordsArea(View(RecordsArea({record})), nullptr, &fault), c.valid) << c.what;
    EXPECT_EQ(fault.kind, c.valid ? PatchFaultKind::None : PatchFaultKind::DeltaHeaderBroken)
        << c.what;
  }
  // A full-content record's body is not a delta: any bytes are fine.
  EXPECT_TRUE(ValidateRecordsArea(View(RecordsArea({FullRecord("f", ToBytes("x"))}))));
}
