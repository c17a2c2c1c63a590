#include "builder/encoder_index.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// A link: a position (below 2^31) and, in the top bit, the lowest bit of its
// gram's hash. The two hashes that differ only there share one head, and a
// search passes over the other's positions as if they were not in its chain:
// half the heads, the same chains.
constexpr uint32_t kTagBit = 0x80000000u;
constexpr uint32_t kPositionBits = 0x7FFFFFFFu;

uint32_t TagOf(uint64_t hash) { return uint32_t(hash & 1) << 31; }

// Grams of the text whose chains a search follows, and steps along each.
constexpr uint32_t kAnchors = 3;
constexpr int kDepth = 64;
// Long matches besides the best one that a search hands on.
constexpr size_t kCandidates = 32;
// How far ahead a build fetches the slot of a gram it is about to enter.
constexpr uint32_t kBuildPrefetch = 16;

}  // namespace

struct OldIndex::Matches {
  struct Match {
    uint32_t start, length;
  };
  Match matches[kAnchors * kDepth];
  int count = 0;
  uint32_t best = 0, bestLength = 0;
  int64_t bestDistance = 0;

  bool Seen(uint32_t start) const {
    for (int k = 0; k < count; ++k)
      if (matches[k].start == start) return true;
    return false;
  }
};

void OldIndex::Build(ByteView old, int tableBits) {
  old_ = old;
  heads_.clear();
  next_.clear();
  if (old.size < kGram) return;
  hash_ = GramHash(tableBits);
  heads_.assign(size_t(1) << (tableBits - 1), kNone);
  // Left unzeroed (LargeTable): the loop writes every link.
  const uint32_t count = old.size - kGram + 1;
  next_.resize(count);
  // The heads are written in no order: fetch them a little ahead.
  for (uint32_t i = 0; i < count; ++i) {
    if (i + kBuildPrefetch < count)
      __builtin_prefetch(&heads_[hash_(old.data + i + kBuildPrefetch) >> 1], 1);
    const uint64_t hash = hash_(old.data + i);
    uint32_t& head = heads_[hash >> 1];
    next_[i] = head;
    head = i | TagOf(hash);
  }
}

// The first link from `link` on (itself included) whose tag is `tag`, or kNone.
uint32_t OldIndex::Tagged(uint32_t link, uint32_t tag) const {
  while (link != kNone && (link & kTagBit) != tag) link = next_[link & kPositionBits];
  return link;
}

OldMatch OldIndex::LongestMatch(const uint8_t* text, uint32_t length, int64_t expected,
                                std::vector<uint32_t>& candidates) const {
  if (length < kGram || heads_.empty()) return {};
  Matches found;
  // A gram that is common in the old file has a long chain whose first entries
  // may all be poor matches; a long match holds the later grams of the text as
  // well, whose chains are shorter.
  for (uint32_t anchor = 0; anchor < kAnchors * kGram && anchor + kGram <= length; anchor += kGram)
    if (!Follow(text, length, anchor, expected, found)) break;
  if (found.bestLength == 0) return {};
  candidates.push_back(found.best);
  std::stable_sort(found.matches, found.matches + found.count,
                   [](const Matches::Match& a, const Matches::Match& b) { return a.length > b.length; });
  const uint32_t enough = std::max(found.bestLength / 2, kGram);
  const size_t limit = candidates.size() + kCandidates;
  for (int k = 0; k < found.count && candidates.size() < limit; ++k)
    if (found.matches[k].start != found.best && found.matches[k].length >= enough)
      candidates.push_back(found.matches[k].start);
  return OldMatch{found.best, found.bestLength};
}

// Follows the chain of the gram at text[anchor...], recording the matches of
// the whole text that run through it. False when the chain ended within the
// depth: every match was seen, and later grams add none.
bool OldIndex::Follow(const uint8_t* text, uint32_t length, uint32_t anchor, int64_t expected,
                      Matches& found) const {
  const uint64_t hash = hash_(text + anchor);
  const uint32_t tag = TagOf(hash);
  uint32_t link = Tagged(heads_[hash >> 1], tag);
  for (int depth = 0; link != kNone && depth < kDepth;
       link = Tagged(next_[link & kPositionBits], tag), ++depth) {
    const uint32_t i = link & kPositionBits;
    if (i < anchor) continue;
    const uint32_t start = i - anchor;
    const uint32_t matched = MatchLength(start, text, length);
    if (matched < anchor + kGram || found.Seen(start)) continue;
    found.matches[found.count++] = Matches::Match{start, matched};
    const int64_t distance = std::abs(int64_t(start) - expected);
    if (matched > found.bestLength || (matched == found.bestLength && distance < found.bestDistance)) {
      found.best = start;
      found.bestLength = matched;
      found.bestDistance = distance;
    }
  }
  return link != kNone;
}

// How many bytes of `text` (of `length`) agree with the old file from `start`.
uint32_t OldIndex::MatchLength(uint32_t start, const uint8_t* text, uint32_t length) const {
  const uint32_t limit = std::min(old_.size - start, length);
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

// About four bits per byte of the old file, between 2^16 and 2^30 in all.
void GramFilter::Build(ByteView old) {
  int bits = 16;
  while (bits < 30 && (uint64_t(1) << bits) < uint64_t(old.size) * 4) ++bits;
  hash_ = GramHash(bits);
  bits_.assign((size_t(1) << bits) / 64, 0);
  for (uint32_t i = 0; i + kGram <= old.size; ++i) {
    if (i + kGram + kBuildPrefetch <= old.size) Prefetch(old.data + i + kBuildPrefetch);
    const uint64_t h = hash_(old.data + i);
    bits_[h >> 6] |= uint64_t(1) << (h & 63);
  }
}
