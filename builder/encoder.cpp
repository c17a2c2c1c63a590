#include "builder/encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <stdexcept>

#include "builder/format/delta_writer.h"

namespace {

int UnsignedNumberBytes(uint64_t value) {
  int bytes = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++bytes;
  }
  return bytes;
}

// Signed numbers keep 6 bits of magnitude in their last byte, 7 in the others.
int SignedNumberBytes(int64_t value) {
  uint64_t magnitude = value < 0 ? uint64_t(-(value + 1)) : uint64_t(value);
  return magnitude < 64 ? 1 : 1 + UnsignedNumberBytes(magnitude >> 6);
}

// One correction inside a copy block: a byte add or a 16-bit word add at `offset`.
struct Correction {
  uint32_t offset;
  uint32_t width;
};

// Walks the bytes that differ between `oldBytes` and `newBytes` as the delta
// writer covers them: two neighbouring changed bytes take one word add, a lone
// one a byte add. Calls visit(correction) for each in order.
template <typename Visit>
void ForEachCorrection(const uint8_t* oldBytes, const uint8_t* newBytes, uint32_t length,
                       Visit visit) {
  uint32_t i = 0;
  while (i < length) {
    // Skip agreeing bytes eight at a time.
    while (length - i >= 8) {
      uint64_t a, b;
      std::memcpy(&a, oldBytes + i, 8);
      std::memcpy(&b, newBytes + i, 8);
      if (a != b) break;
      i += 8;
    }
    while (i < length && oldBytes[i] == newBytes[i]) ++i;
    if (i == length) break;
    uint32_t width = (i + 1 < length && oldBytes[i + 1] != newBytes[i + 1]) ? 2 : 1;
    visit(Correction{i, width});
    i += width;
  }
}

// Bits that a correction costs when the block's cursor stands at `cursor`.
double CorrectionBits(const Correction& correction, uint32_t cursor,
                      const EncoderOptions& options, uint32_t& operations) {
  double bits = 2 * options.controlBits + correction.width * options.addendByteBits;
  operations += 1;
  if (correction.offset > cursor) {
    bits += UnsignedNumberBytes(correction.offset - cursor - 1) * options.numberByteBits;
    operations += 1;
  }
  return bits;
}

double BlockHeaderBits(uint32_t length, int64_t relativePosition, uint32_t operations,
                       const EncoderOptions& options) {
  return options.controlBits +
         options.numberByteBits * (UnsignedNumberBytes(length - 1) +
                                   SignedNumberBytes(relativePosition) +
                                   UnsignedNumberBytes(operations));
}

double LiteralBits(uint32_t length, const EncoderOptions& options) {
  return options.controlBits + options.numberByteBits * UnsignedNumberBytes(length - 1) +
         options.literalByteBits * length;
}

// Where each kGram-byte string of the old file occurs: hash chains that list
// its positions, latest first. A search follows the chains of a few strings of
// the text (its first, then later ones) a bounded number of steps, so its cost
// does not grow with how often a string repeats.
class OldIndex {
 public:
  static constexpr uint32_t kGram = 12;

  void Build(ByteView old, int tableBits) {
    old_ = old;
    if (old.size < kGram) return;
    shift_ = 64 - tableBits;
    heads_.assign(size_t(1) << tableBits, kNone);
    next_.resize(old.size - kGram + 1);
    // The heads are written in no order: fetch them a little ahead.
    const uint32_t count = old.size - kGram + 1;
    for (uint32_t i = 0; i < count; ++i) {
      if (i + kBuildPrefetch < count) __builtin_prefetch(&heads_[Hash(old.data + i + kBuildPrefetch)], 1);
      uint32_t& head = heads_[Hash(old.data + i)];
      next_[i] = head;
      head = i;
    }
  }

  // The longest prefix of `text` (of `length` bytes, kGram at least) found in
  // the old file among the places searched: its length (0: none), and its old
  // position in `position`. Among equally long matches the one nearest
  // `expected` wins: a short hop is cheaper to encode and tends to go on
  // matching. The other long matches are added to `candidates`, longest first,
  // after `position`.
  uint32_t LongestMatch(const uint8_t* text, uint32_t length, int64_t expected,
                        uint32_t& position, std::vector<uint32_t>& candidates) const {
    if (length < kGram || heads_.empty()) return 0;
    Matches found;
    // A string that is common in the old file has a long chain whose first
    // entries may all be poor matches; a long match holds the later strings of
    // the text as well, whose chains are shorter.
    for (uint32_t anchor = 0; anchor < kAnchors * kGram && anchor + kGram <= length;
         anchor += kGram)
      if (!Follow(text, length, anchor, expected, found)) break;
    if (found.bestLength == 0) return 0;
    position = found.best;
    candidates.push_back(position);
    std::stable_sort(found.matches, found.matches + found.count,
                     [](const Match& a, const Match& b) { return a.length > b.length; });
    uint32_t enough = std::max(found.bestLength / 2, kGram);
    size_t limit = candidates.size() + kCandidates;
    for (int k = 0; k < found.count && candidates.size() < limit; ++k)
      if (found.matches[k].start != found.best && found.matches[k].length >= enough)
        candidates.push_back(found.matches[k].start);
    return found.bestLength;
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static constexpr uint32_t kAnchors = 3;
  static constexpr int kDepth = 64;
  static constexpr size_t kCandidates = 32;
  static constexpr uint32_t kBuildPrefetch = 16;

  struct Match {
    uint32_t start, length;
  };
  struct Matches {
    Match matches[kAnchors * kDepth];
    int count = 0;
    uint32_t best = 0, bestLength = 0;
    int64_t bestDistance = 0;
  };

  // Follows the chain of the string at text[anchor...], recording the matches
  // of the whole text that run through it. False when the chain ended within
  // the depth: every match was seen, and later strings add none.
  bool Follow(const uint8_t* text, uint32_t length, uint32_t anchor, int64_t expected,
              Matches& found) const {
    uint32_t i = heads_[Hash(text + anchor)];
    for (int depth = 0; i != kNone && depth < kDepth; i = next_[i], ++depth) {
      if (i < anchor) continue;
      uint32_t start = i - anchor;
      uint32_t matched = MatchLength(start, text, length);
      if (matched < anchor + kGram || Seen(found, start)) continue;
      found.matches[found.count++] = Match{start, matched};
      int64_t distance = std::abs(int64_t(start) - expected);
      if (matched > found.bestLength ||
          (matched == found.bestLength && distance < found.bestDistance)) {
        found.best = start;
        found.bestLength = matched;
        found.bestDistance = distance;
      }
    }
    return i != kNone;
  }

  static bool Seen(const Matches& found, uint32_t start) {
    for (int k = 0; k < found.count; ++k)
      if (found.matches[k].start == start) return true;
    return false;
  }

  uint32_t Hash(const uint8_t* p) const {
    uint64_t v;
    uint32_t w;
    std::memcpy(&v, p, 8);
    std::memcpy(&w, p + kGram - 4, 4);
    return uint32_t(((v * 0x9E3779B97F4A7C15ull) ^ (w * 0xC2B2AE3D27D4EB4Full)) >> shift_);
  }

  uint32_t MatchLength(uint32_t start, const uint8_t* text, uint32_t length) const {
    uint32_t limit = std::min(old_.size - start, length);
    const uint8_t* a = old_.data + start;
    uint32_t i = 0;
    while (limit - i >= 8) {
      uint64_t x, y;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, text + i, 8);
      if (x != y) return i + uint32_t(__builtin_ctzll(x ^ y) / 8);
      i += 8;
    }
    while (i < limit && a[i] == text[i]) ++i;
    return i;
  }

  ByteView old_;
  int shift_ = 64;
  std::vector<uint32_t> heads_, next_;
};

// A set of the kGram-byte strings of the old file that errs in one direction
// only: a miss is certain, a hit may be a collision. It spares the suffix-array
// search at most positions of new data that the old file lacks, where no match
// long enough to be worth a block could start.
class GramFilter {
 public:
  static constexpr uint32_t kGram = 12;
  static constexpr uint32_t kBuildPrefetch = 16;

  void Build(ByteView old) {
    shift_ = 64 - 16;
    while (shift_ > 64 - 30 && (uint64_t(1) << (64 - shift_)) < uint64_t(old.size) * 4) --shift_;
    bits_.assign((size_t(1) << (64 - shift_)) / 64, 0);
    for (uint32_t i = 0; i + kGram <= old.size; ++i) {
      if (i + kGram + kBuildPrefetch <= old.size) Prefetch(old.data + i + kBuildPrefetch);
      uint64_t h = Hash(old.data + i);
      bits_[h >> 6] |= uint64_t(1) << (h & 63);
    }
  }

  // Starts loading the filter's word for `gram`, to be asked about shortly.
  void Prefetch(const uint8_t* gram) const { __builtin_prefetch(&bits_[Hash(gram) >> 6]); }

  bool MayContain(const uint8_t* gram) const {
    uint64_t h = Hash(gram);
    return bits_[h >> 6] >> (h & 63) & 1;
  }

 private:
  uint64_t Hash(const uint8_t* p) const {
    uint64_t v;
    uint32_t w;
    std::memcpy(&v, p, 8);
    std::memcpy(&w, p + kGram - 4, 4);
    return ((v * 0x9E3779B97F4A7C15ull) ^ (w * 0xC2B2AE3D27D4EB4Full)) >> shift_;
  }

  int shift_ = 0;
  std::vector<uint64_t> bits_;
};

// Finds the blocks: an exact match found through the suffix array that beats the
// current alignment by enough bytes starts a new block; each block is then grown
// forward from its start and backward from the next one while agreeing bytes
// outweigh differing ones. What lies between becomes a literal run.
class Matcher {
 public:
  // Matches the new file from Run's `begin` to the end of `neu`, which the caller
  // cuts where this part of the new file ends.
  Matcher(ByteView old, ByteView neu, const OldIndex& index,
          const GramFilter& grams, const EncoderOptions& options)
      : old_(old), new_(neu), options_(options), index_(index), grams_(grams) {}

  std::vector<DeltaOp> Run(uint32_t begin) {
    const int64_t oldSize = old_.size, newSize = new_.size;
    int64_t scan = begin, length = 0, lastScan = begin, lastPosition = 0, lastOffset = 0;
    uint32_t position = 0;
    while (scan < newSize) {
      int64_t oldScore = 0;
      int64_t scoreScan = scan += length;
      for (; scan < newSize; ++scan) {
        length = Search(scan, lastOffset, position);
        for (; scoreScan < scan + length; ++scoreScan)
          if (AgreesAt(scoreScan, lastOffset)) ++oldScore;
        // Only a real match may start a block: the score can drift below zero
        // where no match was found, and `position` then means nothing.
        if (length != 0 && (length == oldScore || length > oldScore + options_.newBlockGain)) break;
        if (AgreesAt(scan, lastOffset)) --oldScore;
      }
      if (length == oldScore && scan != newSize) continue;
      if (scan < newSize) position = BestCandidate(scan, lastOffset, position);

      int64_t forward = ForwardExtent(lastScan, lastPosition, scan, oldSize);
      int64_t backward = scan < newSize ? BackwardExtent(lastScan, scan, position) : 0;
      if (lastScan + forward > scan - backward) {
        int64_t overlap = (lastScan + forward) - (scan - backward);
        int64_t split = SplitOverlap(lastScan + forward - overlap, lastPosition + forward - overlap,
                                     scan - backward, int64_t(position) - backward, overlap);
        forward += split - overlap;
        backward -= split;
      }
      Emit(lastScan, forward, lastPosition, scan - backward);
      lastScan = scan - backward;
      lastPosition = int64_t(position) - backward;
      if (int64_t(position) - scan != lastOffset)
        recentOffsets_[recentCount_++ % kRecentAlignments] = lastOffset;
      lastOffset = int64_t(position) - scan;
    }
    return std::move(ops_);
  }

 private:
  // The longest match for new[scan...], with two shortcuts that spare the
  // index search where it would change little: where the current alignment
  // goes on agreeing for a while (after a relocated pointer, say), or where the
  // old file lacks the next kGram bytes, the bytes that agree under the current
  // alignment stand in for the match. Where neither gives a byte, a short match
  // just off the current alignment, or under or near an earlier one, is looked
  // for.
  uint32_t Search(int64_t scan, int64_t lastOffset, uint32_t& position) {
    uint32_t remaining = uint32_t(int64_t(new_.size) - scan);
    const uint8_t* text = new_.data + scan;
    // Scans mostly move forward byte by byte: fetch the filter a little ahead.
    if (remaining >= kPrefetchDistance + GramFilter::kGram) grams_.Prefetch(text + kPrefetchDistance);
    candidates_.clear();
    const int64_t expected = scan + lastOffset;
    uint32_t run = AgreeingRun(scan, lastOffset, kAlignmentRun);
    bool resumesSoon = run == 0 && (AgreeingRun(scan + 1, lastOffset, kAlignmentRun) == kAlignmentRun ||
                                    AgreeingRun(scan + 2, lastOffset, kAlignmentRun) == kAlignmentRun);
    if (run == kAlignmentRun || resumesSoon ||
        (remaining >= GramFilter::kGram && !grams_.MayContain(text))) {
      position = uint32_t(expected);
      if (run != 0 || resumesSoon) return AgreeingRun(scan, lastOffset, remaining);
    } else {
      uint32_t longest = index_.LongestMatch(text, remaining, expected, position, candidates_);
      if (longest != 0) return longest;
    }
    // Where nothing matches for long stretches these searches cost the most:
    // they run at every other position only, and a block found a byte late
    // still grows backward to where it starts.
    if (scan % kFallbackStep != 0) return 0;
    uint32_t nearby = NearbyMatch(text, remaining, expected, position);
    return nearby != 0 ? nearby : RecentAlignmentMatch(scan, remaining, position);
  }

  // Code moved as a whole keeps coming back to the alignments that its earlier
  // blocks took: the longest run of agreeing bytes under one of them, else a
  // short match near one of them.
  uint32_t RecentAlignmentMatch(int64_t scan, uint32_t remaining, uint32_t& position) const {
    uint32_t longest = 0;
    for (int64_t offset : recentOffsets_) {
      uint32_t run = AgreeingRun(scan, offset, remaining);
      if (run >= kNearbyMinimum && run > longest) {
        longest = run;
        position = uint32_t(scan + offset);
      }
    }
    if (longest != 0) return longest;
    for (int64_t offset : recentOffsets_) {
      uint32_t start = 0;
      uint32_t length = NearbyMatch(new_.data + scan, remaining, scan + offset, start);
      if (length > longest) {
        longest = length;
        position = start;
      }
    }
    return longest;
  }

  // A match of kNearbyMinimum bytes or more that starts at most kNearbyReach
  // bytes before or after `expected` in the old file, the nearest one (the
  // earlier of two as near): a few bytes inserted or removed (an entry of a
  // table, say) shift the alignment by that much, and the bytes after them are
  // too short a match for the index. Its length (0: none), its old position in
  // `position`.
  uint32_t NearbyMatch(const uint8_t* text, uint32_t remaining, int64_t expected,
                       uint32_t& position) const {
    const int64_t oldSize = old_.size;
    const int64_t first = std::max<int64_t>(expected - kNearbyReach, 0);
    const int64_t last = std::min<int64_t>(expected + kNearbyReach, oldSize - kNearbyMinimum);
    if (remaining < kNearbyMinimum || first > last) return 0;
    int64_t best = -1, bestDistance = kNearbyReach + 1;
    const uint8_t* end = old_.data + last + 1;
    for (const uint8_t* from = old_.data + first; from < end;) {
      const uint8_t* hit = static_cast<const uint8_t*>(std::memchr(from, text[0], size_t(end - from)));
      if (!hit) break;
      from = hit + 1;
      int64_t distance = std::abs(hit - old_.data - expected);
      if (distance == 0 || distance >= bestDistance ||
          std::memcmp(hit, text, kNearbyMinimum) != 0)
        continue;
      best = hit - old_.data;
      bestDistance = distance;
    }
    if (best < 0) return 0;
    uint32_t length = kNearbyMinimum;
    while (length < remaining && best + length < oldSize && old_.data[best + length] == text[length])
      ++length;
    position = uint32_t(best);
    return length;
  }

  // Of the candidates that the last search left, the one whose bytes agree best
  // with the new file over the next stretch (ties: nearest the current
  // alignment). Defaults to `found`.
  uint32_t BestCandidate(int64_t scan, int64_t lastOffset, uint32_t found) const {
    if (candidates_.size() < 2) return found;
    int64_t expected = scan + lastOffset;
    auto distance = [expected](uint32_t start) {
      int64_t d = int64_t(start) - expected;
      return d < 0 ? -d : d;
    };
    uint32_t chosen = found;
    int64_t chosenScore = std::numeric_limits<int64_t>::min();
    for (uint32_t candidate : candidates_) {
      int64_t score = 0, bestScore = 0;
      for (int64_t i = 0; i < kCandidateWindow && scan + i < int64_t(new_.size) &&
                          candidate + i < old_.size; ++i) {
        score += old_.data[candidate + i] == new_.data[scan + i] ? 1 : -options_.mismatchPenalty;
        bestScore = std::max(bestScore, score);
      }
      if (bestScore > chosenScore ||
          (bestScore == chosenScore && distance(candidate) < distance(chosen))) {
        chosen = candidate;
        chosenScore = bestScore;
      }
    }
    return chosen;
  }

  // How many bytes from new[newIndex] agree with the old file under `offset`,
  // counting at most `limit`.
  uint32_t AgreeingRun(int64_t newIndex, int64_t offset, uint32_t limit) const {
    uint32_t run = 0;
    while (run < limit && newIndex + run < int64_t(new_.size) && AgreesAt(newIndex + run, offset))
      ++run;
    return run;
  }

  static constexpr uint32_t kAlignmentRun = 16;
  static constexpr uint32_t kNearbyMinimum = 6;
  static constexpr int64_t kNearbyReach = 32;
  static constexpr int kRecentAlignments = 4;
  static constexpr int64_t kFallbackStep = 2;
  static constexpr int64_t kCandidateWindow = 128;
  static constexpr uint32_t kPrefetchDistance = 64;

  bool AgreesAt(int64_t newIndex, int64_t offset) const {
    int64_t oldIndex = newIndex + offset;
    return oldIndex >= 0 && oldIndex < int64_t(old_.size) &&
           old_.data[oldIndex] == new_.data[newIndex];
  }

  // How far the block at (newStart, oldStart) extends forward, at most to `limit`.
  int64_t ForwardExtent(int64_t newStart, int64_t oldStart, int64_t limit, int64_t oldSize) const {
    int64_t score = 0, best = 0, extent = 0;
    for (int64_t i = 0; newStart + i < limit && oldStart + i < oldSize;) {
      score += old_.data[oldStart + i] == new_.data[newStart + i] ? 1 : -options_.mismatchPenalty;
      ++i;
      if (score > best) {
        best = score;
        extent = i;
      }
    }
    return extent;
  }

  // How far the block ending at (newEnd, oldEnd) extends backward, not past `floor`.
  int64_t BackwardExtent(int64_t floor, int64_t newEnd, int64_t oldEnd) const {
    int64_t score = 0, best = 0, extent = 0;
    for (int64_t i = 1; newEnd - i >= floor && oldEnd - i >= 0; ++i) {
      score += old_.data[oldEnd - i] == new_.data[newEnd - i] ? 1 : -options_.mismatchPenalty;
      if (score > best) {
        best = score;
        extent = i;
      }
    }
    return extent;
  }

  // Where the two blocks that both claim `overlap` new bytes should meet: the
  // number of those bytes the first block keeps.
  int64_t SplitOverlap(int64_t newFirst, int64_t oldFirst, int64_t newSecond, int64_t oldSecond,
                       int64_t overlap) const {
    int64_t score = 0, best = 0, split = 0;
    for (int64_t i = 0; i < overlap; ++i) {
      if (new_.data[newFirst + i] == old_.data[oldFirst + i]) ++score;
      if (new_.data[newSecond + i] == old_.data[oldSecond + i]) --score;
      if (score > best) {
        best = score;
        split = i + 1;
      }
    }
    return split;
  }

  void Emit(int64_t newStart, int64_t copyLength, int64_t oldStart, int64_t literalEnd) {
    if (copyLength > 0)
      ops_.push_back(DeltaOp{DeltaOp::kCopy, uint32_t(newStart), uint32_t(copyLength),
                             uint32_t(oldStart)});
    int64_t literalStart = newStart + copyLength;
    if (literalEnd > literalStart)
      ops_.push_back(DeltaOp{DeltaOp::kLiteral, uint32_t(literalStart),
                             uint32_t(literalEnd - literalStart), 0});
  }

  ByteView old_, new_;
  const EncoderOptions& options_;
  const OldIndex& index_;
  const GramFilter& grams_;
  std::vector<uint32_t> candidates_;
  std::vector<DeltaOp> ops_;
  // The alignments (old minus new position) before the current one, the
  // latest kRecentAlignments of them.
  int64_t recentOffsets_[kRecentAlignments] = {};
  uint32_t recentCount_ = 0;
};

// Rewrites a list of operations toward the smallest estimated delta: dense
// stretches of corrections inside a block become literal runs, blocks that cost
// more than their bytes as literals become literals, and neighbours merge.
class Refiner {
 public:
  Refiner(ByteView old, ByteView neu, const EncoderOptions& options)
      : old_(old), new_(neu), options_(options) {}

  std::vector<DeltaOp> Run(const std::vector<DeltaOp>& ops) {
    std::vector<DeltaOp> split;
    for (const DeltaOp& op : ops) {
      if (op.kind == DeltaOp::kCopy)
        SplitDenseStretches(op, split);
      else
        split.push_back(op);
    }
    return Merge(DropExpensiveCopies(Merge(split)));
  }

 private:
  // Chooses, correction by correction, whether each part of `copy` stays a block
  // or becomes a literal run (a Viterbi pass over the two states, switching only
  // next to corrections), and writes the resulting pieces to `out`.
  void SplitDenseStretches(const DeltaOp& copy, std::vector<DeltaOp>& out) const {
    const uint8_t* oldBytes = old_.data + copy.oldPosition;
    const uint8_t* newBytes = new_.data + copy.newOffset;
    const double literalByte = options_.literalByteBits;
    const double enterLiteral = LiteralBits(1, options_) - literalByte;
    const double enterBlock = BlockHeaderBits(1, 1, 1, options_);
    corrections_.clear();
    ForEachCorrection(oldBytes, newBytes, copy.length,
                      [&](const Correction& c) { corrections_.push_back(c); });
    if (corrections_.empty()) {
      out.push_back(copy);
      return;
    }
    // Per correction: the state before it that each state came from (bit 0: the
    // gap was crossed as a block; bit 1: the correction as a literal came from one).
    choices_.resize(corrections_.size());
    double inBlock = 0, inLiteral = enterLiteral;
    uint32_t previousEnd = 0;
    for (size_t j = 0; j < corrections_.size(); ++j) {
      const Correction& c = corrections_[j];
      uint32_t gap = c.offset - previousEnd;
      bool blockFromLiteral = inLiteral + enterBlock < inBlock;
      double gapBlock = blockFromLiteral ? inLiteral + enterBlock : inBlock;
      double gapLiteral = inLiteral + gap * literalByte;
      uint32_t operations = 0;
      double asBlock = gapBlock + CorrectionBits(c, previousEnd, options_, operations);
      bool literalFromBlock = gapBlock + enterLiteral < gapLiteral;
      double asLiteral = (literalFromBlock ? gapBlock + enterLiteral : gapLiteral) +
                         c.width * literalByte;
      choices_[j] = uint8_t((blockFromLiteral ? 1 : 0) | (literalFromBlock ? 2 : 0));
      inBlock = asBlock;
      inLiteral = asLiteral;
      previousEnd = c.offset + c.width;
    }
    // The tail: a literal either runs to the block's end or hands over to a block.
    uint32_t tail = copy.length - previousEnd;
    double endBlock = std::min(inBlock, inLiteral + enterBlock);
    bool endsLiteral = inLiteral + tail * literalByte < endBlock;
    bool lastIsLiteral = endsLiteral || inLiteral + enterBlock < inBlock;
    // Walk back from the end, marking which bytes become literal.
    std::vector<bool>& literal = literalMarks_;
    literal.assign(copy.length, false);
    if (endsLiteral)
      for (uint32_t i = previousEnd; i < copy.length; ++i) literal[i] = true;
    bool state = lastIsLiteral;  // true: literal
    for (size_t j = corrections_.size(); j-- > 0;) {
      const Correction& c = corrections_[j];
      uint32_t gapStart = j ? corrections_[j - 1].offset + corrections_[j - 1].width : 0;
      if (state) {
        for (uint32_t i = c.offset; i < c.offset + c.width; ++i) literal[i] = true;
        bool fromBlock = choices_[j] & 2;
        if (!fromBlock)
          for (uint32_t i = gapStart; i < c.offset; ++i) literal[i] = true;
        state = fromBlock ? (choices_[j] & 1) != 0 : true;
      } else {
        state = choices_[j] & 1;
      }
    }
    EmitMarked(copy, literal, out);
  }

  // Writes `copy` as alternating blocks and literal runs following the marks.
  static void EmitMarked(const DeltaOp& copy, const std::vector<bool>& literal,
                         std::vector<DeltaOp>& out) {
    uint32_t start = 0;
    while (start < copy.length) {
      bool isLiteral = literal[start];
      uint32_t end = start + 1;
      while (end < copy.length && literal[end] == isLiteral) ++end;
      if (isLiteral)
        out.push_back(DeltaOp{DeltaOp::kLiteral, copy.newOffset + start, end - start, 0});
      else
        out.push_back(DeltaOp{DeltaOp::kCopy, copy.newOffset + start, end - start,
                              copy.oldPosition + start});
      start = end;
    }
  }

  // Turns copies into literals where the literal bytes are estimated cheaper.
  std::vector<DeltaOp> DropExpensiveCopies(const std::vector<DeltaOp>& ops) const {
    std::vector<DeltaOp> out;
    int64_t oldEnd = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
      DeltaOp op = ops[i];
      if (op.kind == DeltaOp::kCopy) {
        double copyBits = EstimateCopyBits(old_.data + op.oldPosition, new_.data + op.newOffset,
                                           op.length, int64_t(op.oldPosition) - oldEnd, options_);
        // As a literal it joins its neighbouring literals, sparing their headers.
        double literalBits = options_.literalByteBits * op.length;
        bool joinsBefore = !out.empty() && out.back().kind == DeltaOp::kLiteral;
        bool joinsAfter = i + 1 < ops.size() && ops[i + 1].kind == DeltaOp::kLiteral;
        if (!joinsBefore && !joinsAfter) literalBits = LiteralBits(op.length, options_);
        if (joinsBefore && joinsAfter) literalBits -= LiteralBits(1, options_);
        if (literalBits < copyBits) {
          op.kind = DeltaOp::kLiteral;
          op.oldPosition = 0;
        } else {
          oldEnd = int64_t(op.oldPosition) + op.length;
        }
      }
      out.push_back(op);
    }
    return out;
  }

  // Joins neighbouring literals, and neighbouring copies whose old bytes follow
  // each other.
  static std::vector<DeltaOp> Merge(const std::vector<DeltaOp>& ops) {
    std::vector<DeltaOp> out;
    for (const DeltaOp& op : ops) {
      if (!out.empty()) {
        DeltaOp& last = out.back();
        bool sameKind = last.kind == op.kind;
        bool contiguous = op.kind == DeltaOp::kLiteral ||
                          last.oldPosition + last.length == op.oldPosition;
        if (sameKind && contiguous) {
          last.length += op.length;
          continue;
        }
      }
      out.push_back(op);
    }
    return out;
  }

  ByteView old_, new_;
  const EncoderOptions& options_;
  mutable std::vector<Correction> corrections_;
  mutable std::vector<uint8_t> choices_;
  mutable std::vector<bool> literalMarks_;
};

// Chain heads for an old file of `size` bytes: about one per 2 positions.
int IndexTableBits(uint32_t size) {
  int bits = 10;
  while (bits < 26 && (uint64_t(1) << bits) * 2 < size) ++bits;
  return bits;
}

}  // namespace

double EstimateCopyBits(const uint8_t* oldBytes, const uint8_t* newBytes, uint32_t length,
                        int64_t relativePosition, const EncoderOptions& options) {
  double bits = 0;
  uint32_t operations = 0, cursor = 0;
  ForEachCorrection(oldBytes, newBytes, length, [&](const Correction& c) {
    bits += CorrectionBits(c, cursor, options, operations);
    cursor = c.offset + c.width;
  });
  return bits + BlockHeaderBits(length, relativePosition, operations, options);
}

std::vector<DeltaOp> EncodeDelta(ByteView oldData, ByteView newData,
                                 const EncoderOptions& options) {
  if (oldData.size >= 0x80000000u || newData.size >= 0x80000000u)
    throw std::length_error("files of 2 GiB or more cannot be delta-encoded");
  if (newData.size == 0) return {};
  if (oldData.size == 0) return {DeltaOp{DeltaOp::kLiteral, 0, newData.size, 0}};
  // The index and the filter of the old file are built side by side.
  OldIndex index;
  GramFilter grams;
  std::future<void> filter = std::async(std::launch::async, [&] { grams.Build(oldData); });
  index.Build(oldData, IndexTableBits(oldData.size));
  filter.get();
  // Then the two halves of the new file are matched side by side (a fixed
  // split, so the result does not depend on timing).
  uint32_t middle = newData.size >= options.splitNewFrom ? newData.size / 2 : newData.size;
  std::future<std::vector<DeltaOp>> secondHalf = std::async(std::launch::async, [&] {
    if (middle == newData.size) return std::vector<DeltaOp>();
    return Matcher(oldData, newData, index, grams, options).Run(middle);
  });
  std::vector<DeltaOp> ops =
      Matcher(oldData, ByteView{newData.data, middle}, index, grams, options).Run(0);
  std::vector<DeltaOp> rest = secondHalf.get();
  ops.insert(ops.end(), rest.begin(), rest.end());
  return Refiner(oldData, newData, options).Run(ops);
}

Bytes EncodeDeltaBody(ByteView oldData, ByteView newData, const EncoderOptions& options) {
  DeltaWriter writer(oldData.data, oldData.size);
  for (const DeltaOp& op : EncodeDelta(oldData, newData, options)) {
    const uint8_t* bytes = newData.data + op.newOffset;
    if (op.kind == DeltaOp::kLiteral)
      writer.Literal(bytes, op.length);
    else
      writer.Copy(op.oldPosition, bytes, op.length);
  }
  return writer.Finish();
}
