#include "patch/delta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "builder/format/delta_output.h"
#include "builder/format/delta_writer.h"
#include "tests/support/stdio_output.h"

namespace {

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The format's worked example: "xy", then ABCD with its last byte raised by 1,
// then GH as a word raised by 0x0101.
const Bytes kExampleOld = ToBytes("ABCDEFGH");
const Bytes kExampleDelta = {
    32, 0, 0, 0, 33, 0, 0, 0, 34, 0, 0, 0, 37, 0, 0, 0,  // DeltaHeader
    39, 0, 0, 0, 41, 0, 0, 0, 42, 0, 0, 0, 44, 0, 0, 0,
    0x80,                // literal flags: 1, 0
    0x30,                // patch-control bits: 0, 0, 1, 1
    0x01, 0x03, 0x01,    // lengths: 1, 3, 1
    0x00, 0x02,          // positions: 0, 2
    0x02, 0x01,          // patch counts: 2, 1
    0x02,                // skips: 2
    0x78, 0x79,          // literals
    0x01, 0x01, 0x01};   // addends

Bytes Decode(const Bytes& delta, const Bytes& old, bool expectComplete = true) {
  bool complete = false;
  Bytes out = DecodeDelta(delta, old, &complete);
  EXPECT_EQ(complete, expectComplete);
  return out;
}

// The bytes written through a stdio file whose output buffer holds `capacity`
// bytes: steps larger than that go out on their own.
Bytes DecodeThroughFile(const Bytes& delta, const Bytes& old, uint32_t capacity, bool& complete) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  if (!file) return {};
  Bytes buffer(capacity);
  complete = ApplyDelta(ToStdio(file, buffer.data(), capacity), ViewOf(delta), ViewOf(old));
  Bytes written(size_t(std::ftell(file)));
  std::rewind(file);
  EXPECT_EQ(std::fread(written.data(), 1, written.size(), file), written.size());
  std::fclose(file);
  return written;
}

// Buffer sizes below, at and above the steps of the small deltas here.
constexpr uint32_t kSmallBuffers[] = {1, 2, 3, 4, 5, 7, 64};

}  // namespace

TEST(Delta, WorkedExample) {
  EXPECT_EQ(Decode(kExampleDelta, kExampleOld), (Bytes{0x78, 0x79, 0x41, 0x42, 0x43, 0x45, 0x48, 0x49}));
}

TEST(Delta, WriterReproducesTheWorkedExampleByteForByte) {
  DeltaWriter writer(kExampleOld);
  writer.Literal(ToBytes("xy"));
  writer.Copy(0, ToBytes("ABCE"));
  writer.Copy(6, ToBytes("HI"));
  EXPECT_EQ(writer.Finish(), kExampleDelta);
}

TEST(DeltaNumbers, UnsignedAndSignedEncodings) {
  struct UnsignedCase {
    Bytes bytes;
    uint32_t value;
  } unsignedCases[] = {{{0x00}, 0},
                       {{0x7F}, 127},
                       {{0x81, 0x00}, 128},
                       {{0x82, 0x7F}, 383},
                       {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFFFFFFu}};
  for (const UnsignedCase& c : unsignedCases) {
    ByteCursor cursor(ViewOf(c.bytes));
    uint32_t value = 0;
    ASSERT_TRUE(ReadUnsigned(cursor, value));
    EXPECT_EQ(value, c.value);
    EXPECT_TRUE(cursor.AtEnd());
    Bytes written;
    AppendUnsigned(written, c.value);
    EXPECT_EQ(written, c.bytes);
  }
  struct SignedCase {
    Bytes bytes;
    int32_t value;
  } signedCases[] = {{{0x00}, 0},        {{0x05}, 5},          {{0x3F}, 63},
                     {{0x40}, -1},       {{0x41}, -2},         {{0x7F}, -64},
                     {{0x81, 0x00}, 64}, {{0x81, 0x3F}, 127},  {{0x81, 0x40}, -65},
                     {{0x82, 0x00}, 128}, {{0x8F, 0xFF, 0xFF, 0xFF, 0x3F}, INT32_MAX},
                     {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, INT32_MIN}};
  for (const SignedCase& c : signedCases) {
    ByteCursor cursor(ViewOf(c.bytes));
    int32_t value = 0;
    ASSERT_TRUE(ReadSigned(cursor, value));
    EXPECT_EQ(value, c.value);
    EXPECT_TRUE(cursor.AtEnd());
    Bytes written;
    AppendSigned(written, c.value);
    EXPECT_EQ(written, c.bytes);
  }
}

TEST(DeltaNumbers, TooLongOrCutNumbersFailWithoutMoving) {
  const Bytes cases[] = {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, {0x81}, {}};
  for (const Bytes& bytes : cases) {
    ByteCursor cursor(ViewOf(bytes));
    uint32_t value = 0;
    int32_t signedValue = 0;
    EXPECT_FALSE(ReadUnsigned(cursor, value));
    EXPECT_FALSE(ReadSigned(cursor, signedValue));
    EXPECT_EQ(cursor.position, 0u);
  }
}

TEST(DeltaBits, TopBitFirstThenNextByteAndStopAtTheEnd) {
  const Bytes stream = {0xA0, 0x01};
  BitReader reader = StartBitReader(ViewOf(stream));
  std::string bits;
  uint32_t bit = 0;
  while (ReadBit(reader, bit)) bits += char('0' + bit);
  EXPECT_EQ(bits, "1010000000000001");
}

TEST(Delta, EdgeCasesOfWellFormedDeltas) {
  Bytes old(200);
  for (size_t i = 0; i < old.size(); ++i) old[i] = uint8_t(i);
  const Bytes tenAt100(old.begin() + 100, old.begin() + 110);
  const Bytes tenAt110(old.begin() + 110, old.begin() + 120);

  {  // positions are relative to the end of the previous block
    DeltaEncoder encoder;
    encoder.CopyBlock(10, 100, {});
    encoder.CopyBlock(10, -10, {});
    encoder.CopyBlock(10, 0, {});
    Bytes expected = tenAt100;
    expected.insert(expected.end(), tenAt100.begin(), tenAt100.end());
    expected.insert(expected.end(), tenAt110.begin(), tenAt110.end());
    EXPECT_EQ(Decode(encoder.Finish(), old), expected);
  }
  {  // a delta may end with a literal run
    DeltaEncoder encoder;
    encoder.CopyBlock(2, 0, {});
    encoder.LiteralRun(ToBytes("end"));
    EXPECT_EQ(Decode(encoder.Finish(), old), (Bytes{0, 1, 'e', 'n', 'd'}));
  }
  {  // byte add wraps without carry; word add carries into its high byte only
    const Bytes ff = {0xFF, 0x00, 0xFF, 0x00, 0x07};
    DeltaEncoder encoder;
    encoder.CopyBlock(5, 0, {{PatchKind::ByteAdd, 1}, {PatchKind::Skip, 1}, {PatchKind::WordAdd, 1}});
    EXPECT_EQ(Decode(encoder.Finish(), ff), (Bytes{0x00, 0x00, 0x00, 0x01, 0x07}));
  }
  {  // skip number 0 moves one byte; a skip may end exactly at the block's end
    DeltaEncoder encoder;
    encoder.CopyBlock(4, 0, {{PatchKind::Skip, 1}, {PatchKind::ByteAdd, 5}, {PatchKind::Skip, 2}});
    EXPECT_EQ(Decode(encoder.Finish(), old), (Bytes{0, 6, 2, 3}));
  }
  {  // a patch count of 0 or a negative one leaves the block unchanged
    DeltaEncoder encoder;
    encoder.CopyBlock(3, 0, {{PatchKind::ByteAdd, 1}}, 0u);
    encoder.CopyBlock(3, 0, {{PatchKind::ByteAdd, 1}}, 0x80000000u);
    EXPECT_EQ(Decode(encoder.Finish(), old), (Bytes{0, 1, 2, 3, 4, 5}));
  }
  {  // lengthsOffset == positionsOffset: empty file whatever else is there
    Bytes delta = kExampleDelta;
    StoreLe32(delta.data() + 8, 37);
    EXPECT_TRUE(Decode(delta, kExampleOld).empty());
  }
}

// Each fault stops the decoder at once: what was written before stays, nothing after.
TEST(Delta, FaultsStopTheOutputShort) {
  const Bytes old = ToBytes("0123456789");
  auto streams = [](auto build) {
    DeltaEncoder encoder;
    build(encoder);
    return encoder.Streams();
  };
  struct Case {
    const char* what;
    DeltaStreamBytes streams;
    Bytes written;
  } cases[] = {
      {"copy block past the old file's end",
       streams([](DeltaEncoder& e) { e.LiteralRun(ToBytes("a")); e.CopyBlock(3, 8, {}); }),
       ToBytes("a")},
      {"copy block before the old file's start",
       streams([](DeltaEncoder& e) { e.CopyBlock(2, 0, {}); e.CopyBlock(2, -3, {}); }),
       ToBytes("01")},
      {"copy block longer than the old file",
       streams([](DeltaEncoder& e) { e.CopyBlock(11, 0, {}); }), {}},
      {"skip beyond the block",
       streams([](DeltaEncoder& e) { e.CopyBlock(4, 0, {{PatchKind::Skip, 5}, {PatchKind::ByteAdd, 1}}); }),
       {}},
      {"byte add after a skip to the block's end",
       streams([](DeltaEncoder& e) { e.CopyBlock(4, 0, {{PatchKind::Skip, 4}, {PatchKind::ByteAdd, 1}}); }),
       {}},
      {"word add on the last byte",
       streams([](DeltaEncoder& e) {
         e.CopyBlock(2, 0, {});
         e.CopyBlock(3, 0, {{PatchKind::Skip, 2}, {PatchKind::WordAdd, 1}});
       }),
       ToBytes("01")},
      {"more operations than the patch bits hold",
       streams([](DeltaEncoder& e) { e.CopyBlock(4, 0, {{PatchKind::WordAdd, 1}}, 3u); }), {}},
      {"literal run longer than the literal stream",
       streams([](DeltaEncoder& e) { e.LiteralRun(ToBytes("abc")); }), {}},
  };
  for (Case& c : cases) {
    if (std::string(c.what) == "literal run longer than the literal stream") c.streams.literals.pop_back();
    const Bytes delta = JoinDeltaStreams(c.streams);
    EXPECT_EQ(Decode(delta, old, false), c.written) << c.what;
    for (uint32_t capacity : kSmallBuffers) {
      bool complete = true;
      EXPECT_EQ(DecodeThroughFile(delta, old, capacity, complete), c.written)
          << c.what << ", buffer of " << capacity;
      EXPECT_FALSE(complete) << c.what << ", buffer of " << capacity;
    }
  }

  DeltaStreamBytes raw = streams([](DeltaEncoder& e) { e.CopyBlock(2, 0, {{PatchKind::Skip, 1}}); });
  raw.skips = {0x8F, 0xFF, 0xFF, 0xFF, 0x7F};  // skip number 0xFFFFFFFF: the move would wrap to 0
  EXPECT_TRUE(Decode(JoinDeltaStreams(raw), old, false).empty());
  raw.skips = {0x80, 0x80, 0x80, 0x80, 0x80, 0x00};  // six-byte number
  EXPECT_TRUE(Decode(JoinDeltaStreams(raw), old, false).empty());

  // Streams run to the end of the body; a bit stream that starts there has no bits.
  Bytes noFlags = JoinDeltaStreams(streams([](DeltaEncoder& e) { e.CopyBlock(2, 0, {}); }));
  StoreLe32(noFlags.data(), uint32_t(noFlags.size()));
  EXPECT_TRUE(Decode(noFlags, old, false).empty());

  Bytes headerOnly(31, 0);
  EXPECT_TRUE(Decode(headerOnly, old, false).empty());
}

TEST(Delta, MemoryOutputRefusesWritesThatDoNotFit) {
  uint8_t buffer[7];
  MemoryOutput memory{buffer, sizeof buffer, 0};
  EXPECT_FALSE(ApplyDelta(ToMemory(memory), ViewOf(kExampleDelta), ViewOf(kExampleOld)));
  EXPECT_EQ(memory.length, 6u);  // "xy" and the first block; the second did not fit
  uint8_t big[8];
  MemoryOutput fits{big, sizeof big, 0};
  EXPECT_TRUE(ApplyDelta(ToMemory(fits), ViewOf(kExampleDelta), ViewOf(kExampleOld)));
  EXPECT_EQ(std::memcmp(big, "xyABCEHI", 8), 0);
}

// Whatever the buffer, the file gets the same bytes: steps that fit are
// gathered, larger ones go out alone (a copy block in pieces, its corrections
// falling on either side of a piece's end).
TEST(Delta, FileOutputWritesTheSameBytesWhateverItsBuffer) {
  const Bytes old = ToBytes("0123456789abcdefghij");
  DeltaWriter writer(old);
  writer.Literal(ToBytes("xyz"));
  writer.Copy(0, ToBytes("0124456789abcdhhgh"));  // a byte add, then a word add
  writer.Literal(ToBytes("!"));
  writer.Copy(10, ToBytes("abcdefghij"));
  writer.Copy(2, ToBytes("2344"));
  const Bytes delta = writer.Finish();
  const Bytes expected = ToBytes("xyz0124456789abcdhhgh!abcdefghij2344");
  ASSERT_EQ(Decode(delta, old), expected);
  for (uint32_t capacity : kSmallBuffers) {
    bool complete = false;
    EXPECT_EQ(DecodeThroughFile(delta, old, capacity, complete), expected) << capacity;
    EXPECT_TRUE(complete) << capacity;
  }
  bool complete = false;
  EXPECT_EQ(DecodeThroughFile(kExampleDelta, kExampleOld, 3, complete), ToBytes("xyABCEHI"));
  EXPECT_TRUE(complete);
}

// A buffer of no bytes has no room for any step.
TEST(Delta, FileOutputWithoutABufferWritesNothing) {
  bool complete = true;
  EXPECT_TRUE(DecodeThroughFile(kExampleDelta, kExampleOld, 0, complete).empty());
  EXPECT_FALSE(complete);
}
