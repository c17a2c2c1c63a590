// The encoder's parts on their own: the gram filter and the index of the old
// file, the matcher over one part of the new file, and the refinement.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "builder/encoder_index.h"
#include "builder/encoder_matcher.h"
#include "builder/encoder_refine.h"
#include "builder/format/delta_output.h"
#include "tests/native/random_bytes.h"

namespace {

void Plant(Bytes& bytes, const Bytes& piece, size_t at) {
  std::copy(piece.begin(), piece.end(), bytes.begin() + long(at));
}

TEST(GramFilter, HoldsEveryGramOfTheOldFileAndFewOthers) {
  const Bytes old = RandomBytes(4096, 1);
  GramFilter filter;
  filter.Build(ViewOf(old));
  for (size_t i = 0; i + kGram <= old.size(); ++i) ASSERT_TRUE(filter.MayContain(&old[i])) << "at " << i;
  const Bytes other = RandomBytes(1000 + kGram, 2);
  int hits = 0;
  for (size_t i = 0; i < 1000; ++i) hits += filter.MayContain(&other[i]);
  EXPECT_LT(hits, 100) << "a filter of 2^16 bits over 4 KiB should rarely collide";
}

// Three copies of one string in random bytes; the longest wins, then the one
// nearest the expected place, and the others come along as candidates.
struct IndexCase {
  const char* name;
  size_t longerAt;  // where a copy of the string runs on 50 bytes further (0: none)
  int64_t expected;
  uint32_t position;
  uint32_t length;
};

const IndexCase kIndexCases[] = {
    {"NearestOfEquals", 0, 29000, 30000, 100},
    {"NearestOfEqualsOtherSide", 0, 45000, 50000, 100},
    {"LongestOverNearest", 50000, 1000, 50000, 150},
};

TEST(OldIndex, FindsTheLongestMatchNearestTheExpectedPlace) {
  const Bytes piece = RandomBytes(150, 3);
  for (const IndexCase& c : kIndexCases) {
    SCOPED_TRACE(c.name);
    Bytes old = RandomBytes(64 * 1024, 4);
    for (size_t at : {size_t(1000), size_t(30000), size_t(50000)})
      Plant(old, Bytes(piece.begin(), piece.begin() + 100), at);
    if (c.longerAt) Plant(old, piece, c.longerAt);
    Bytes text = piece;
    text.push_back(uint8_t(old[c.position + c.length] + 1));  // the match ends here
    OldIndex index;
    index.Build(ViewOf(old), 16);
    std::vector<uint32_t> candidates;
    const OldMatch match = index.LongestMatch(text.data(), uint32_t(text.size()), c.expected, candidates);
    EXPECT_EQ(match.position, c.position);
    EXPECT_EQ(match.length, c.length);
    ASSERT_FALSE(candidates.empty());
    EXPECT_EQ(candidates.front(), c.position);
    for (uint32_t at : {1000u, 30000u, 50000u})
      EXPECT_NE(std::find(candidates.begin(), candidates.end(), at), candidates.end()) << at;
  }
}

TEST(OldIndex, FindsNothingInAnotherFileOrInATextShorterThanAGram) {
  const Bytes old = RandomBytes(8192, 5);
  OldIndex index;
  index.Build(ViewOf(old), 12);
  std::vector<uint32_t> candidates;
  const Bytes other = RandomBytes(64, 6);
  EXPECT_EQ(index.LongestMatch(other.data(), 64, 0, candidates).length, 0u);
  EXPECT_EQ(index.LongestMatch(&old[100], kGram - 1, 100, candidates).length, 0u);
  EXPECT_TRUE(candidates.empty());
}

// Two hashes share a head but not a chain: thousands of positions of a gram
// whose hash differs only in its lowest bit come later in the old file (first
// in the shared list) and must not use up the search's depth.
TEST(OldIndex, HashesThatShareAHeadKeepTheirOwnChains) {
  constexpr int kBits = 4;
  const GramHash hash(kBits);
  const Bytes zeros(10000, 0);
  Bytes gram;
  for (uint64_t seed = 10; gram.empty(); ++seed) {
    const Bytes candidate = RandomBytes(kGram, seed);
    if (hash(candidate.data()) == (hash(zeros.data()) ^ 1)) gram = candidate;
  }
  Bytes piece = gram;
  const Bytes tail = RandomBytes(8, 7);  // short of a second gram: one chain is searched
  piece.insert(piece.end(), tail.begin(), tail.end());
  Bytes old = RandomBytes(100, 8);
  old.insert(old.end(), piece.begin(), piece.end());
  old.insert(old.end(), zeros.begin(), zeros.end());
  Bytes text = piece;
  text.push_back(1);  // the old file goes on with a zero
  OldIndex index;
  index.Build(ViewOf(old), kBits);
  std::vector<uint32_t> candidates;
  const OldMatch match = index.LongestMatch(text.data(), uint32_t(text.size()), 0, candidates);
  EXPECT_EQ(match.position, 100u);
  EXPECT_EQ(match.length, piece.size());
}

// The ops cover new[from, to) in order, without gaps, copies inside the old file.
void ExpectCover(const std::vector<DeltaOp>& ops, uint32_t from, uint32_t to, size_t oldSize) {
  uint32_t covered = from;
  for (const DeltaOp& op : ops) {
    EXPECT_EQ(op.newOffset, covered);
    EXPECT_GT(op.length, 0u);
    if (op.kind == DeltaOp::kCopy) {
      EXPECT_LE(uint64_t(op.oldPosition) + op.length, oldSize);
    }
    covered += op.length;
  }
  EXPECT_EQ(covered, to);
}

TEST(MatchBlocks, CoversItsPartOfTheNewFileAndFindsTheMovedBlocks) {
  const Bytes old = RandomBytes(32 * 1024, 7);
  Bytes now(old.begin() + 16 * 1024, old.end());  // the old halves swapped
  now.insert(now.end(), old.begin(), old.begin() + 16 * 1024);
  OldIndex index;
  index.Build(ViewOf(old), 14);
  GramFilter grams;
  grams.Build(ViewOf(old));
  const EncoderOptions options;
  const uint32_t begin = 10000;
  const std::vector<DeltaOp> ops = MatchBlocks(ViewOf(old), ViewOf(now), begin, index, grams, options);
  ExpectCover(ops, begin, uint32_t(now.size()), old.size());
  uint32_t copied = 0;
  for (const DeltaOp& op : ops) {
    if (op.kind != DeltaOp::kCopy) continue;
    copied += op.length;
    EXPECT_EQ(old[op.oldPosition], now[op.newOffset]);
  }
  EXPECT_GT(copied, now.size() - begin - 64);
}

TEST(RefineOps, DenseCorrectionsInsideACopyBecomeALiteral) {
  const Bytes old = RandomBytes(4000, 8);
  Bytes now = old;
  for (size_t i = 1000; i < 1100; i += 2) now[i] += 1;  // every other byte: a byte add and a skip each
  const std::vector<DeltaOp> refined =
      RefineOps(ViewOf(old), ViewOf(now), {DeltaOp{DeltaOp::kCopy, 0, 4000, 0}}, EncoderOptions());
  ExpectCover(refined, 0, 4000, old.size());
  ASSERT_EQ(refined.size(), 3u);
  EXPECT_EQ(refined[0].kind, DeltaOp::kCopy);
  EXPECT_EQ(refined[1].kind, DeltaOp::kLiteral);
  EXPECT_EQ(refined[2].kind, DeltaOp::kCopy);
  EXPECT_LE(refined[1].newOffset, 1000u);
  EXPECT_GE(refined[1].newOffset + refined[1].length, 1099u);
  EXPECT_EQ(refined[2].oldPosition, refined[2].newOffset);
}

// Over random bytes, as they stand or with their halves swapped.
struct RefineCase {
  const char* name;
  bool halvesSwapped;
  std::vector<DeltaOp> ops;
  std::vector<DeltaOp> refined;
};

const RefineCase kRefineCases[] = {
    {"AShortCopyBetweenLiteralsJoinsThem", false,
     {{DeltaOp::kLiteral, 0, 100, 0}, {DeltaOp::kCopy, 100, 3, 100}, {DeltaOp::kLiteral, 103, 97, 0}},
     {{DeltaOp::kLiteral, 0, 200, 0}}},
    {"CopiesThatFollowInTheOldFileMerge", false,
     {{DeltaOp::kCopy, 0, 150, 0}, {DeltaOp::kCopy, 150, 50, 150}},
     {{DeltaOp::kCopy, 0, 200, 0}}},
    {"CopiesFromApartStaySeparate", true,
     {{DeltaOp::kCopy, 0, 100, 100}, {DeltaOp::kCopy, 100, 100, 0}},
     {{DeltaOp::kCopy, 0, 100, 100}, {DeltaOp::kCopy, 100, 100, 0}}},
};

TEST(RefineOps, DropsCostlyCopiesAndMergesNeighbours) {
  const Bytes old = RandomBytes(200, 9);
  for (const RefineCase& c : kRefineCases) {
    SCOPED_TRACE(c.name);
    Bytes now = old;
    if (c.halvesSwapped) std::rotate(now.begin(), now.begin() + 100, now.end());
    EXPECT_EQ(RefineOps(ViewOf(old), ViewOf(now), c.ops, EncoderOptions()), c.refined);
  }
}

}  // namespace
