// The reference delta decoder that fuzzing and the mutation campaign compare the
// installer's decoder with: it has to be right on its own, so it is checked
// against the format's worked example and against deltas from the writer.
#include <gtest/gtest.h>

#include <random>

#include "builder/format/delta_writer.h"
#include "fuzz/reference_delta.h"

namespace {

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(ReferenceDelta, DecodesTheWorkedExample) {
  const Bytes old = B("ABCDEFGH");
  const Bytes body = {32, 0, 0, 0, 33, 0, 0, 0, 34, 0, 0, 0, 37, 0, 0, 0, 39, 0, 0, 0, 41, 0, 0, 0,
                      42, 0, 0, 0, 44, 0, 0, 0, 0x80, 0x30, 0x01, 0x03, 0x01, 0x00, 0x02, 0x02, 0x01,
                      0x02, 0x78, 0x79, 0x01, 0x01, 0x01};
  const reference::DecodedDelta decoded = reference::DecodeDelta(body, old, 1 << 20);
  EXPECT_TRUE(decoded.complete);
  EXPECT_EQ(decoded.bytes, Bytes({0x78, 0x79, 0x41, 0x42, 0x43, 0x45, 0x48, 0x49}));
}

TEST(ReferenceDelta, RebuildsWhatTheWriterDescribes) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    Bytes old(1 + random() % 400);
    for (uint8_t& b : old) b = uint8_t(random());
    DeltaWriter writer(old);
    Bytes expected;
    for (int step = 0; step < 6; ++step) {
      if (random() % 3 == 0) {
        Bytes literal(1 + random() % 9, uint8_t(random()));
        writer.Literal(literal);
        expected.insert(expected.end(), literal.begin(), literal.end());
        continue;
      }
      const uint32_t start = uint32_t(random() % old.size());
      Bytes block(old.begin() + start, old.begin() + start + 1 + random() % (old.size() - start));
      for (uint8_t& b : block)
        if (random() % 5 == 0) b = uint8_t(b + random());
      writer.Copy(start, block);
      expected.insert(expected.end(), block.begin(), block.end());
    }
    const reference::DecodedDelta decoded = reference::DecodeDelta(writer.Finish(), old, 1 << 20);
    EXPECT_TRUE(decoded.complete) << round;
    EXPECT_EQ(decoded.bytes, expected) << round;
  }
}

TEST(ReferenceDelta, StopsAtEveryBrokenLimit) {
  const Bytes old = B("0123456789");
  struct Case {
    const char* what;
    uint32_t length;
    int32_t distance;
    std::vector<PatchOp> ops;
  };
  const std::vector<Case> cases = {
      {"block past the old file", 4, 8, {}},
      {"block before the old file", 2, -1, {}},
      {"skip past the block", 4, 0, {{PatchKind::Skip, 5}, {PatchKind::ByteAdd, 1}}},
      {"byte add after the block", 4, 0, {{PatchKind::Skip, 4}, {PatchKind::ByteAdd, 1}}},
      {"word add over the last byte", 4, 0, {{PatchKind::Skip, 3}, {PatchKind::WordAdd, 1}}},
  };
  for (const Case& c : cases) {
    DeltaEncoder encoder;
    encoder.LiteralRun(B("x"));
    encoder.CopyBlock(c.length, c.distance, c.ops);
    const reference::DecodedDelta decoded = reference::DecodeDelta(encoder.Finish(), old, 1 << 20);
    EXPECT_FALSE(decoded.complete) << c.what;
    EXPECT_EQ(decoded.bytes, B("x")) << c.what;
  }
}

}  // namespace
