#include "builder/encoder_matcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// A run of this many bytes that agree under the current alignment is taken as
// it stands, without an index search.
constexpr uint32_t kAlignmentRun = 16;
// The shortest match looked for near an expected place, and how near.
constexpr uint32_t kNearbyMinimum = 6;
constexpr int64_t kNearbyReach = 32;
// The fallback searches run at every kFallbackStep-th place only.
constexpr int64_t kFallbackStep = 2;
// Bytes over which the index's candidates are compared with the new file.
constexpr int64_t kCandidateWindow = 128;
// How far ahead of the scan the gram filter is fetched.
constexpr uint32_t kPrefetchDistance = 64;

// The block whose end is still open: where it starts in the new and the old
// file, and the alignment (old minus new position) that the scan measures new
// matches against. A part of the new file starts under alignment 0: at the same
// place in the old file.
struct OpenBlock {
  int64_t newStart;
  int64_t oldStart;
  int64_t offset;
};

// The scan for the next block's start. `score` counts the bytes in
// [at, counted) that agree under the open block's alignment; it counts negative
// where `at` has run past `counted`, so it can drift below zero.
struct Scan {
  int64_t at;
  int64_t counted;
  int64_t score;
};

// Where a scan stopped: at a match that starts a new block, at one that the
// open block's alignment gives in full, or at the end of the new file.
struct Stop {
  enum Kind { kNewBlock, kSameAlignment, kEnd };
  Kind kind;
  int64_t newStart;
  OldMatch match;
};

// The alignments that blocks took before the current one, the latest few.
class RecentAlignments {
 public:
  static constexpr int kCount = 4;

  void Remember(int64_t offset) { offsets_[count_++ % kCount] = offset; }
  const int64_t* begin() const { return offsets_; }
  const int64_t* end() const { return offsets_ + kCount; }

 private:
  int64_t offsets_[kCount] = {};
  uint32_t count_ = 0;
};

// How far the blocks on either side of a new block's start grow: the open one
// forward from its start, the new one backward from the match.
struct Extents {
  int64_t forward;
  int64_t backward;
};

// Scans the new file for matches: a match that beats the open block's
// alignment by enough bytes starts a new block; the open block then grows
// forward from its start and the new one backward from the match, while
// agreeing bytes outweigh differing ones. What lies between becomes a literal
// run.
class Matcher {
 public:
  Matcher(ByteView old, ByteView neu, const OldIndex& index, const GramFilter& grams,
          const EncoderOptions& options)
      : old_(old), new_(neu), options_(options), index_(index), grams_(grams) {}

  std::vector<DeltaOp> Run(uint32_t begin) {
    OpenBlock open{begin, begin, 0};
    for (int64_t from = begin;;) {
      const Stop stop = FindBlockStart(from, open.offset);
      if (stop.kind == Stop::kEnd) break;
      if (stop.kind == Stop::kNewBlock) open = StartBlock(open, stop);
      from = stop.newStart + stop.match.length;
    }
    CloseLastBlock(open);
    return std::move(ops_);
  }

 private:
  // Scans from `from` to the first match that ends the scan: one longer by more
  // than newBlockGain than what the alignment `offset` gives over the same
  // bytes, or one that it gives in full (the open block goes on past it).
  Stop FindBlockStart(int64_t from, int64_t offset) {
    Scan scan{from, from, 0};
    for (; scan.at < int64_t(new_.size); StepPast(scan, offset)) {
      const OldMatch match = Search(scan.at, offset);
      CountAgreeing(scan, scan.at + match.length, offset);
      // Only a real match may end the scan: the score can be below zero where
      // nothing was found.
      if (match.length == 0) continue;
      if (match.length == scan.score) return Stop{Stop::kSameAlignment, scan.at, match};
      if (match.length > scan.score + options_.newBlockGain)
        return Stop{Stop::kNewBlock, scan.at, match};
    }
    return Stop{Stop::kEnd, scan.at, OldMatch()};
  }

  void CountAgreeing(Scan& scan, int64_t to, int64_t offset) const {
    for (; scan.counted < to; ++scan.counted)
      if (AgreesAt(scan.counted, offset)) ++scan.score;
  }

  void StepPast(Scan& scan, int64_t offset) const {
    if (AgreesAt(scan.at, offset)) --scan.score;
    ++scan.at;
  }

  // Ends the open block where the block found at `stop` begins (a literal run
  // between them if they do not meet), and returns that one, open.
  OpenBlock StartBlock(const OpenBlock& open, const Stop& stop) {
    const int64_t newStart = stop.newStart;
    const int64_t oldStart = BestCandidate(newStart, open.offset, stop.match.position);
    const Extents grown = GrowBoth(open, newStart, oldStart);
    Emit(open.newStart, grown.forward, open.oldStart, newStart - grown.backward);
    const int64_t offset = oldStart - newStart;
    if (offset != open.offset) recent_.Remember(open.offset);
    return OpenBlock{newStart - grown.backward, oldStart - grown.backward, offset};
  }

  // The open block runs on to the end of the new file as far as it agrees; a
  // literal run takes the rest.
  void CloseLastBlock(const OpenBlock& open) {
    const int64_t end = new_.size;
    Emit(open.newStart, ForwardExtent(open.newStart, open.oldStart, end), open.oldStart, end);
  }

  // Grows the open block forward and the block at (newStart, oldStart)
  // backward; where both claim the same new bytes, they meet where the bytes
  // agree best.
  Extents GrowBoth(const OpenBlock& open, int64_t newStart, int64_t oldStart) const {
    Extents grown{ForwardExtent(open.newStart, open.oldStart, newStart),
                  BackwardExtent(open.newStart, newStart, oldStart)};
    const int64_t overlap = (open.newStart + grown.forward) - (newStart - grown.backward);
    if (overlap > 0) {
      const int64_t split = SplitOverlap(open.newStart + grown.forward - overlap,
                                         open.oldStart + grown.forward - overlap,
                                         newStart - grown.backward, oldStart - grown.backward, overlap);
      grown.forward += split - overlap;
      grown.backward -= split;
    }
    return grown;
  }

  // The longest match for new[scan...] under the alignment `offset`, with two
  // shortcuts that spare the index search where it would change little: where
  // the alignment goes on agreeing for a while (after a relocated pointer, say),
  // or where the old file lacks the next gram, the bytes that agree under the
  // alignment stand in for the match. Where neither gives a byte, a short match
  // just off the alignment, or under or near an earlier one, is looked for.
  // Leaves the index's other candidates in candidates_.
  OldMatch Search(int64_t scan, int64_t offset) {
    const uint32_t remaining = uint32_t(int64_t(new_.size) - scan);
    const uint8_t* text = new_.data + scan;
    // Scans mostly move forward byte by byte: fetch the filter a little ahead.
    if (remaining >= kPrefetchDistance + kGram) grams_.Prefetch(text + kPrefetchDistance);
    candidates_.clear();
    const int64_t expected = scan + offset;
    const uint32_t run = AgreeingRun(scan, offset, kAlignmentRun);
    const bool resumesSoon = run == 0 && ResumesSoon(scan, offset);
    const bool searchIndex =
        run != kAlignmentRun && !resumesSoon && (remaining < kGram || grams_.MayContain(text));
    if (searchIndex) {
      const OldMatch longest = index_.LongestMatch(text, remaining, expected, candidates_);
      if (longest.length != 0) return longest;
    } else if (run != 0 || resumesSoon) {
      return OldMatch{uint32_t(expected), AgreeingRun(scan, offset, remaining)};
    }
    // Where nothing matches for long stretches these searches cost the most:
    // they run at every other place only, and a block found a byte late still
    // grows backward to where it starts.
    if (scan % kFallbackStep != 0) return OldMatch();
    const OldMatch nearby = NearbyMatch(text, remaining, expected);
    return nearby.length != 0 ? nearby : RecentAlignmentMatch(scan, remaining);
  }

  // Whether the alignment `offset` agrees for kAlignmentRun bytes from one or
  // two bytes after `scan` on: the bytes at the scan are a changed pointer, say.
  bool ResumesSoon(int64_t scan, int64_t offset) const {
    return AgreeingRun(scan + 1, offset, kAlignmentRun) == kAlignmentRun ||
           AgreeingRun(scan + 2, offset, kAlignmentRun) == kAlignmentRun;
  }

  // Code moved as a whole keeps coming back to the alignments that its earlier
  // blocks took: the longest run of agreeing bytes under one of them, else a
  // short match near one of them.
  OldMatch RecentAlignmentMatch(int64_t scan, uint32_t remaining) const {
    OldMatch longest;
    for (int64_t offset : recent_) {
      const uint32_t run = AgreeingRun(scan, offset, remaining);
      if (run >= kNearbyMinimum && run > longest.length) longest = OldMatch{uint32_t(scan + offset), run};
    }
    if (longest.length != 0) return longest;
    for (int64_t offset : recent_) {
      const OldMatch nearby = NearbyMatch(new_.data + scan, remaining, scan + offset);
      if (nearby.length > longest.length) longest = nearby;
    }
    return longest;
  }

  // A match of kNearbyMinimum bytes or more that starts at most kNearbyReach
  // bytes before or after `expected` in the old file, the nearest one (the
  // earlier of two as near): a few bytes inserted or removed (an entry of a
  // table, say) shift the alignment by that much, and the bytes after them are
  // too short a match for the index.
  OldMatch NearbyMatch(const uint8_t* text, uint32_t remaining, int64_t expected) const {
    const int64_t oldSize = old_.size;
    const int64_t first = std::max<int64_t>(expected - kNearbyReach, 0);
    const int64_t last = std::min<int64_t>(expected + kNearbyReach, oldSize - kNearbyMinimum);
    if (remaining < kNearbyMinimum || first > last) return OldMatch();
    int64_t best = -1, bestDistance = kNearbyReach + 1;
    const uint8_t* end = old_.data + last + 1;
    for (const uint8_t* from = old_.data + first; from < end;) {
      const uint8_t* hit = static_cast<const uint8_t*>(std::memchr(from, text[0], size_t(end - from)));
      if (!hit) break;
      from = hit + 1;
      const int64_t distance = std::abs(hit - old_.data - expected);
      if (distance == 0 || distance >= bestDistance || std::memcmp(hit, text, kNearbyMinimum) != 0)
        continue;
      best = hit - old_.data;
      bestDistance = distance;
    }
    if (best < 0) return OldMatch();
    uint32_t length = kNearbyMinimum;
    while (length < remaining && best + length < oldSize && old_.data[best + length] == text[length])
      ++length;
    return OldMatch{uint32_t(best), length};
  }

  // Of the candidates that the last search left, the one whose bytes agree best
  // with the new file over the next stretch (ties: nearest the alignment
  // `offset`). Defaults to `found`.
  uint32_t BestCandidate(int64_t scan, int64_t offset, uint32_t found) const {
    if (candidates_.size() < 2) return found;
    const int64_t expected = scan + offset;
    auto distance = [expected](uint32_t start) {
      const int64_t d = int64_t(start) - expected;
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

  bool AgreesAt(int64_t newIndex, int64_t offset) const {
    const int64_t oldIndex = newIndex + offset;
    return oldIndex >= 0 && oldIndex < int64_t(old_.size) && old_.data[oldIndex] == new_.data[newIndex];
  }

  // How far the block at (newStart, oldStart) extends forward, at most to `limit`.
  int64_t ForwardExtent(int64_t newStart, int64_t oldStart, int64_t limit) const {
    const int64_t oldSize = old_.size;
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

  // A copy of `copyLength` bytes at (newStart, oldStart), then a literal run up
  // to `literalEnd`; either may be empty.
  void Emit(int64_t newStart, int64_t copyLength, int64_t oldStart, int64_t literalEnd) {
    if (copyLength > 0)
      ops_.push_back(
          DeltaOp{DeltaOp::kCopy, uint32_t(newStart), uint32_t(copyLength), uint32_t(oldStart)});
    const int64_t literalStart = newStart + copyLength;
    if (literalEnd > literalStart)
      ops_.push_back(DeltaOp{DeltaOp::kLiteral, uint32_t(literalStart),
                             uint32_t(literalEnd - literalStart), 0});
  }

  ByteView old_, new_;
  const EncoderOptions& options_;
  const OldIndex& index_;
  const GramFilter& grams_;
  std::vector<uint32_t> candidates_;
  RecentAlignments recent_;
  std::vector<DeltaOp> ops_;
};

}  // namespace

std::vector<DeltaOp> MatchBlocks(ByteView old, ByteView neu, uint32_t begin, const OldIndex& index,
                                 const GramFilter& grams, const EncoderOptions& options) {
  return Matcher(old, neu, index, grams, options).Run(begin);
}
