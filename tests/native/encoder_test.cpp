// The delta encoder: its operations cover the new file soundly, and every delta
// it writes decodes through the installer's decoder to the new file, byte for byte.
#include "builder/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <random>
#include <string>

#include "builder/format/delta_output.h"
#include "tests/native/random_bytes.h"

namespace {

// Something like a program image: instruction-like bytes with 32-bit absolute
// pointers into a data area every few bytes.
constexpr uint32_t kImageBase = 0x00400000;

Bytes SyntheticImage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes image;
  while (image.size() + 16 < size) {
    uint32_t opcodeBytes = 2 + random() % 10;
    for (uint32_t i = 0; i < opcodeBytes; ++i) image.push_back(uint8_t(random() % 48));
    uint32_t target = kImageBase + uint32_t(random() % size);
    image.resize(image.size() + 4);
    StoreLe32(image.data() + image.size() - 4, target);
  }
  image.resize(size, 0xCC);
  return image;
}

// The image after `inserted` bytes of new code at `at`: every pointer to a
// place after the insertion moves with it.
Bytes InsertAndRelocate(const Bytes& image, size_t at, size_t inserted, uint32_t seed) {
  Bytes moved(image.begin(), image.begin() + at);
  Bytes fresh = RandomBytes(inserted, seed);
  moved.insert(moved.end(), fresh.begin(), fresh.end());
  moved.insert(moved.end(), image.begin() + at, image.end());
  for (size_t i = 0; i + 4 <= moved.size(); ++i) {
    if (i >= at && i < at + inserted) continue;
    uint32_t value = LoadLe32(&moved[i]);
    if (value >= kImageBase + at && value < kImageBase + image.size()) {
      StoreLe32(&moved[i], value + uint32_t(inserted));
      i += 3;
    }
  }
  return moved;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + from, bytes.begin() + to);
}

struct Case {
  std::string name;
  std::function<Bytes()> old;
  std::function<Bytes(const Bytes&)> makeNew;
};

std::vector<Case> Cases() {
  auto image = [] { return SyntheticImage(96 * 1024, 7); };
  auto random = [] { return RandomBytes(64 * 1024, 1); };
  return {
      {"BothEmpty", [] { return Bytes(); }, [](const Bytes&) { return Bytes(); }},
      {"EmptyOld", [] { return Bytes(); }, [](const Bytes&) { return RandomBytes(5000, 2); }},
      {"EmptyNew", random, [](const Bytes&) { return Bytes(); }},
      {"OneByteEach", [] { return Bytes{1}; }, [](const Bytes&) { return Bytes{2}; }},
      {"Identical", image, [](const Bytes& old) { return old; }},
      {"Unrelated", random, [](const Bytes&) { return RandomBytes(70 * 1024, 3); }},
      {"SparseChanges", image,
       [](const Bytes& old) {
         Bytes changed = old;
         for (size_t i = 100; i < changed.size(); i += 997) changed[i] ^= 0x5A;
         changed.back() += 1;
         changed.front() += 1;
         return changed;
       }},
      {"AdjacentChangedBytes", image,
       [](const Bytes& old) {
         Bytes changed = old;
         for (size_t i = 50; i + 3 < changed.size(); i += 301) {
           changed[i] += 1;
           changed[i + 1] += 0x80;
           changed[i + 2] -= 1;
         }
         return changed;
       }},
      {"InsertedCodeWithRelocations", image,
       [](const Bytes& old) { return InsertAndRelocate(old, 30000, 1234, 4); }},
      {"DeletedBlock", image,
       [](const Bytes& old) {
         return Concat({Slice(old, 0, 20000), Slice(old, 35000, old.size())});
       }},
      {"MovedBlocks", image,
       [](const Bytes& old) {
         return Concat({Slice(old, 60000, old.size()), Slice(old, 0, 60000),
                        Slice(old, 1000, 3000)});
       }},
      {"RepetitiveData",
       [] {
         Bytes zeros(200 * 1024, 0);
         for (size_t i = 0; i < zeros.size(); i += 4096) zeros[i] = 0x90;
         return zeros;
       },
       [](const Bytes& old) {
         return Concat({Bytes(3000, 0), old, Bytes(100, 0x90), Slice(old, 5, 50000)});
       }},
      // Large enough for the encoder to match the two halves of the new file
      // apart with its usual settings.
      {"LargeFileWithRelocations", [] { return SyntheticImage(1100 * 1024, 8); },
       [](const Bytes& old) {
         return InsertAndRelocate(Concat({Slice(old, 0, 580 * 1024), Slice(old, 650 * 1024, old.size())}),
                                  400000, 3000, 9);
       }},
      {"NewFileShorterThanAGram", [] { return RandomBytes(100, 5); },
       [](const Bytes& old) { return Slice(old, 10, 15); }},
  };
}

// A failing case is named, not printed as the bytes of its functions.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class EncoderRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(EncoderRoundTrip, OperationsCoverTheNewFile) {
  const Bytes old = GetParam().old();
  const Bytes now = GetParam().makeNew(old);
  std::vector<DeltaOp> ops = EncodeDelta(ViewOf(old), ViewOf(now));
  uint32_t covered = 0;
  for (size_t i = 0; i < ops.size(); ++i) {
    const DeltaOp& op = ops[i];
    SCOPED_TRACE("operation " + std::to_string(i));
    EXPECT_EQ(op.newOffset, covered);
    EXPECT_GT(op.length, 0u);
    if (op.kind == DeltaOp::kCopy) {
      EXPECT_LE(uint64_t(op.oldPosition) + op.length, old.size());
    } else if (i > 0) {
      EXPECT_NE(ops[i - 1].kind, DeltaOp::kLiteral) << "two literal runs in a row";
    }
    covered += op.length;
  }
  EXPECT_EQ(covered, now.size());
}

TEST_P(EncoderRoundTrip, DecoderRebuildsTheNewFile) {
  const Bytes old = GetParam().old();
  const Bytes now = GetParam().makeNew(old);
  Bytes delta = EncodeDeltaBody(ViewOf(old), ViewOf(now));
  bool complete = false;
  Bytes rebuilt = DecodeDelta(delta, old, &complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(rebuilt, now);
}

// The work split over two threads (matching the new file's halves apart) must
// give sound deltas too.
TEST_P(EncoderRoundTrip, DecoderRebuildsTheNewFileWhenSplit) {
  const Bytes old = GetParam().old();
  const Bytes now = GetParam().makeNew(old);
  EncoderOptions options;
  options.matchPartBytes = 64;
  Bytes delta = EncodeDeltaBody(ViewOf(old), ViewOf(now), options);
  bool complete = false;
  EXPECT_EQ(DecodeDelta(delta, old, &complete), now);
  EXPECT_TRUE(complete);
  EXPECT_EQ(delta, EncodeDeltaBody(ViewOf(old), ViewOf(now), options));
}

TEST_P(EncoderRoundTrip, SameInputsGiveTheSameBytes) {
  const Bytes old = GetParam().old();
  const Bytes now = GetParam().makeNew(old);
  EXPECT_EQ(EncodeDeltaBody(ViewOf(old), ViewOf(now)), EncodeDeltaBody(ViewOf(old), ViewOf(now)));
}

// On one thread the index, the filter and the halves of the new file are built
// and matched in turn, on more side by side: none of it may change a byte,
// with the usual split and with one inside even the small inputs.
TEST_P(EncoderRoundTrip, SameBytesWhateverTheThreadCount) {
  const Bytes old = GetParam().old();
  const Bytes now = GetParam().makeNew(old);
  for (uint32_t matchPartBytes : {EncoderOptions().matchPartBytes, 64u}) {
    EncoderOptions options;
    options.matchPartBytes = matchPartBytes;
    options.threads = 1;
    const Bytes single = EncodeDeltaBody(ViewOf(old), ViewOf(now), options);
    for (uint32_t threads : {2u, 3u, 0u}) {
      options.threads = threads;
      EXPECT_EQ(EncodeDeltaBody(ViewOf(old), ViewOf(now), options), single)
          << threads << " threads, parts of " << matchPartBytes;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, EncoderRoundTrip, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param) { return param.param.name; });

// A small edit of a large file must come out as a small delta: the matches and
// the relocated pointers are found rather than sent as literals.
TEST(Encoder, SmallEditsGiveSmallDeltas) {
  const Bytes old = SyntheticImage(256 * 1024, 11);
  const Bytes now = InsertAndRelocate(old, 100000, 500, 12);
  size_t literalBytes = 0;
  for (const DeltaOp& op : EncodeDelta(ViewOf(old), ViewOf(now)))
    if (op.kind == DeltaOp::kLiteral) literalBytes += op.length;
  EXPECT_LT(literalBytes, 2000u);
  EXPECT_LT(EncodeDeltaBody(ViewOf(old), ViewOf(now)).size(), now.size() / 4);
}

// Each part of the new file starts out aligned with the same place in the old
// file: an unchanged file is one copy of the whole, however many parts it is
// matched in.
TEST(Encoder, AnUnchangedFileIsOneCopyWhateverItsParts) {
  const Bytes old = SyntheticImage(64 * 1024, 13);
  for (uint32_t partBytes : {EncoderOptions().matchPartBytes, 4096u, 1000u}) {
    EncoderOptions options;
    options.matchPartBytes = partBytes;
    const std::vector<DeltaOp> ops = EncodeDelta(ViewOf(old), ViewOf(old), options);
    ASSERT_EQ(ops.size(), 1u) << "parts of " << partBytes;
    EXPECT_EQ(ops[0], (DeltaOp{DeltaOp::kCopy, 0, uint32_t(old.size()), 0})) << "parts of " << partBytes;
  }
}

// A long match is found even where its first bytes are common in the old file:
// the string opens hundreds of other places, yet the new file is one copy.
TEST(Encoder, FindsALongMatchWhoseStartIsCommonInTheOldFile) {
  Bytes old = RandomBytes(256 * 1024, 31);
  const Bytes common = Slice(old, 500, 516);
  for (size_t at = 4000; at < 4000 + 300 * 700; at += 700)
    std::copy(common.begin(), common.end(), old.begin() + at);
  const Bytes now = Slice(old, 500, 3500);
  std::vector<DeltaOp> ops = EncodeDelta(ViewOf(old), ViewOf(now));
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0], (DeltaOp{DeltaOp::kCopy, 0, uint32_t(now.size()), 500}));
}

// Alignments that no dozen bytes in a row confirm: after the edit every tenth
// byte differs (relocated pointers, say), so the old file holds no long match,
// yet the right alignment holds nine bytes in ten. The encoder finds it and
// copies the rest rather than sending it as literals.
struct AlignmentCase {
  std::string name;
  std::function<Bytes(const Bytes&)> makeNew;  // from 64 KiB of random old bytes
};

// Adds 1 to every tenth byte of `bytes` in [from, to).
Bytes EveryTenthChanged(Bytes bytes, size_t from, size_t to) {
  for (size_t i = from + 9; i < to; i += 10) bytes[i] += 1;
  return bytes;
}

void PrintTo(const AlignmentCase& c, std::ostream* os) { *os << c.name; }

class EncoderAlignment : public ::testing::TestWithParam<AlignmentCase> {};

TEST_P(EncoderAlignment, FoundWithoutALongMatch) {
  const Bytes old = RandomBytes(64 * 1024, 41);
  const Bytes now = GetParam().makeNew(old);
  size_t literalBytes = 0;
  for (const DeltaOp& op : EncodeDelta(ViewOf(old), ViewOf(now)))
    if (op.kind == DeltaOp::kLiteral) literalBytes += op.length;
  EXPECT_LT(literalBytes, 64u);
  bool complete = false;
  EXPECT_EQ(DecodeDelta(EncodeDeltaBody(ViewOf(old), ViewOf(now)), old, &complete), now);
  EXPECT_TRUE(complete);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, EncoderAlignment,
    ::testing::Values(
        // Two bytes inserted: the alignment two bytes off goes on.
        AlignmentCase{"ShiftedByTwoBytes",
                      [](const Bytes& old) {
                        Bytes now = Concat({Slice(old, 0, 20000), Bytes{0x12, 0x34},
                                            Slice(old, 20000, old.size())});
                        return EveryTenthChanged(now, 20002, now.size());
                      }},
        // A stretch replaced by as many bytes from elsewhere: after it, the
        // alignment from before it goes on.
        AlignmentCase{"BackToAnEarlierAlignment",
                      [](const Bytes& old) {
                        Bytes now = Concat({Slice(old, 0, 20000), Slice(old, 50000, 58000),
                                            Slice(old, 28000, 45000)});
                        return EveryTenthChanged(EveryTenthChanged(now, 0, 20000), 28000, now.size());
                      }}),
    [](const ::testing::TestParamInfo<AlignmentCase>& param) { return param.param.name; });

// The cost estimate follows the format: an unchanged block costs its header
// only, each correction adds to it, and so does a distant start.
TEST(Encoder, CopyEstimateGrowsWithCorrections) {
  const Bytes old = RandomBytes(1000, 21);
  Bytes now = old;
  EncoderOptions options;
  double unchanged = EstimateCopyBits(old.data(), now.data(), 1000, 0, options);
  now[10] += 1;
  double oneByte = EstimateCopyBits(old.data(), now.data(), 1000, 0, options);
  now[500] += 1;
  now[501] += 1;
  double plusWord = EstimateCopyBits(old.data(), now.data(), 1000, 0, options);
  EXPECT_LT(unchanged, oneByte);
  EXPECT_LT(oneByte, plusWord);
  EXPECT_LT(plusWord, EstimateCopyBits(old.data(), now.data(), 1000, 100000, options))
      << "a distant block costs more to place";
}

// The last few bytes of the new file match many places of the old one: the
// candidates gathered there are compared only as far as the new file goes (the
// new file is an exactly sized block, so ASan sees a read past it).
TEST(Encoder, ShortTailMatchingManyPlacesIsNotReadPast) {
  std::mt19937 random(5);
  Bytes old(4096);
  for (uint8_t& b : old) b = uint8_t(random());
  const Bytes tail = {'t', 'a', 'i'};
  for (size_t at = 100; at + 8 < old.size(); at += 150) std::copy(tail.begin(), tail.end(), old.begin() + long(at));
  Bytes grown(700);
  for (uint8_t& b : grown) b = uint8_t(random());
  grown.insert(grown.end(), tail.begin(), tail.end());
  const Bytes newer(grown.begin(), grown.end());
  const Bytes body = EncodeDeltaBody(ViewOf(old), ViewOf(newer));
  bool complete = false;
  EXPECT_EQ(DecodeDelta(body, old, &complete), newer);
  EXPECT_TRUE(complete);
}

}  // namespace
