#include "builder/format/delta_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "builder/format/delta_output.h"
#include "tests/support/simple_delta.h"

namespace {

Bytes RandomBytes(std::mt19937& random, size_t length) {
  Bytes bytes(length);
  for (uint8_t& b : bytes) b = uint8_t(random());
  return bytes;
}

Bytes DecodeCompletely(const Bytes& delta, const Bytes& old) {
  bool complete = false;
  Bytes out = DecodeDelta(delta, old, &complete);
  EXPECT_TRUE(complete);
  return out;
}

}  // namespace

TEST(DiffBlock, ChoosesTheOperationsTheDecoderNeeds) {
  struct Case {
    const char* what;
    Bytes oldBlock, newBlock;
    std::vector<PatchOp> ops;
  } cases[] = {
      {"unchanged", {1, 2, 3}, {1, 2, 3}, {}},
      {"first byte", {1, 2, 3}, {2, 2, 3}, {{PatchKind::ByteAdd, 1}}},
      {"two adjacent bytes take a word, carry included", {0xFF, 0, 9}, {0, 1, 9},
       {{PatchKind::WordAdd, 0x0001}}},
      {"last byte alone", {1, 2, 3}, {1, 2, 0}, {{PatchKind::Skip, 2}, {PatchKind::ByteAdd, 0xFD}}},
      {"three in a row: word then byte", {0, 0, 0, 0}, {1, 1, 1, 0},
       {{PatchKind::WordAdd, 0x0101}, {PatchKind::ByteAdd, 1}}},
      {"byte, gap, byte", {0, 0, 0, 0, 0}, {1, 0, 0, 1, 0},
       {{PatchKind::ByteAdd, 1}, {PatchKind::Skip, 2}, {PatchKind::ByteAdd, 1}}},
      {"last two bytes", {0, 0, 0, 0}, {0, 0, 5, 6},
       {{PatchKind::Skip, 2}, {PatchKind::WordAdd, 0x0605}}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DiffBlock(c.oldBlock.data(), c.newBlock.data(), uint32_t(c.oldBlock.size())), c.ops)
        << c.what;
}

// Random operation lists: decoding what the writer wrote gives the new file.
TEST(DeltaWriter, RoundTripOfRandomOperationLists) {
  std::mt19937 random(1234);
  for (int round = 0; round < 300; ++round) {
    const Bytes old = RandomBytes(random, 1 + random() % 3000);
    DeltaWriter writer(old);
    Bytes expected;
    const int operations = int(random() % 12);
    for (int i = 0; i < operations; ++i) {
      if (random() % 3 == 0) {
        const Bytes literal = RandomBytes(random, random() % 300);
        writer.Literal(literal);
        expected.insert(expected.end(), literal.begin(), literal.end());
        continue;
      }
      const uint32_t position = uint32_t(random() % old.size());
      const uint32_t length = uint32_t(random() % (old.size() - position + 1));
      Bytes block(old.begin() + position, old.begin() + position + length);
      // Sparse, dense or no changes, some in runs.
      const uint32_t density = random() % 4;
      for (uint8_t& b : block)
        if (density && random() % (density * 8) == 0) b = uint8_t(b + 1 + random() % 255);
      writer.Copy(position, block);
      expected.insert(expected.end(), block.begin(), block.end());
    }
    ASSERT_EQ(DecodeCompletely(writer.Finish(), old), expected) << "round " << round;
  }
}

TEST(DeltaWriter, EmptyDeltaAndCopiesOutsideTheOldFile) {
  const Bytes old = {1, 2, 3};
  DeltaWriter writer(old);
  EXPECT_THROW(writer.Copy(2, Bytes{3, 4}), std::out_of_range);
  const Bytes delta = writer.Finish();
  EXPECT_EQ(delta.size(), 32u);
  EXPECT_TRUE(DecodeCompletely(delta, old).empty());
}

TEST(DeltaEncoder, RefusesSequencesTheDecoderCannotRead) {
  DeltaEncoder encoder;
  EXPECT_THROW(encoder.CopyBlock(4, 0, {{PatchKind::ByteAdd, 1}, {PatchKind::ByteAdd, 1}}),
               std::invalid_argument);
  EXPECT_THROW(encoder.CopyBlock(4, 0, {{PatchKind::Skip, 1}, {PatchKind::Skip, 1}}),
               std::invalid_argument);
  DeltaEncoder literals;
  literals.LiteralRun({1});
  EXPECT_THROW(literals.LiteralRun({2}), std::invalid_argument);
}

TEST(SimpleDelta, RoundTripsEditsAndCopiesWhatItCan) {
  std::mt19937 random(99);
  const Bytes old = RandomBytes(random, 20000);
  Bytes edited = old;
  for (int i = 0; i < 40; ++i) edited[random() % edited.size()] ^= 0x20;  // scattered changes
  edited.insert(edited.begin() + 5000, old.begin() + 12000, old.begin() + 13000);  // moved copy
  const Bytes inserted = RandomBytes(random, 100);
  edited.insert(edited.begin() + 100, inserted.begin(), inserted.end());
  edited.erase(edited.begin() + 15000, edited.begin() + 15500);

  const Bytes delta = SimpleDelta(old, edited);
  EXPECT_EQ(DecodeCompletely(delta, old), edited);
  EXPECT_LT(delta.size(), 1000u);

  const Bytes cases[][2] = {{{}, {}}, {{}, {1, 2, 3}}, {{1, 2, 3}, {}}, {{1, 2, 3}, {1, 2, 3}}};
  for (const auto& c : cases) EXPECT_EQ(DecodeCompletely(SimpleDelta(c[0], c[1]), c[0]), c[1]);
}
