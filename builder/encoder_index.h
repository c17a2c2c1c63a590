// What the delta encoder knows of the old file before it matches: where each
// gram (a string of kGram bytes) occurs, and a compact set of the grams that
// occur at all. Both hash grams with the one GramHash.
#pragma once

#include <stdint.h>

#include <cstring>
#include <vector>

#include "builder/large_table.h"
#include "patch/bytes.h"

constexpr uint32_t kGram = 12;

// The hash of the gram at a pointer, cut to its top `bits` bits (1 to 63).
class GramHash {
 public:
  explicit GramHash(int bits) : shift_(64 - bits) {}

  uint64_t operator()(const uint8_t* gram) const {
    uint64_t head;
    uint32_t tail;
    std::memcpy(&head, gram, 8);
    std::memcpy(&tail, gram + kGram - 4, 4);
    return ((head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full)) >> shift_;
  }

 private:
  int shift_;
};

// A stretch of the new file found in the old one: its old position and length
// (0: nothing found, and the position means nothing).
struct OldMatch {
  uint32_t position = 0;
  uint32_t length = 0;
};

// Where each gram of the old file occurs: hash chains that list its positions,
// latest first. A search follows the chains of a few grams of the text (its
// first, then later ones) a bounded number of steps, so its cost does not grow
// with how often a gram repeats.
class OldIndex {
 public:
  // Chains of 2^tableBits hashes, two to a head.
  void Build(ByteView old, int tableBits);

  // The longest prefix of `text` (of `length` bytes, kGram at least) found in
  // the old file among the places searched. Among equally long matches the one
  // nearest `expected` wins: a short hop is cheaper to encode and tends to go on
  // matching. Its position and the other long matches are added to
  // `candidates`, the found one first, then longest first.
  OldMatch LongestMatch(const uint8_t* text, uint32_t length, int64_t expected,
                        std::vector<uint32_t>& candidates) const;

 private:
  struct Matches;

  bool Follow(const uint8_t* text, uint32_t length, uint32_t anchor, int64_t expected,
              Matches& found) const;
  uint32_t MatchLength(uint32_t start, const uint8_t* text, uint32_t length) const;
  uint32_t Tagged(uint32_t link, uint32_t tag) const;

  ByteView old_;
  GramHash hash_{1};
  LargeTable<uint32_t> heads_, next_;
};

// A set of the old file's grams that errs in one direction only: a miss is
// certain, a hit may be a collision. It spares the index search at most places
// of new data that the old file lacks, where no match long enough to be worth a
// block could start.
class GramFilter {
 public:
  void Build(ByteView old);

  // Starts loading the filter's word for `gram`, to be asked about shortly.
  void Prefetch(const uint8_t* gram) const { __builtin_prefetch(&bits_[hash_(gram) >> 6]); }

  bool MayContain(const uint8_t* gram) const {
    const uint64_t h = hash_(gram);
    return bits_[h >> 6] >> (h & 63) & 1;
  }

 private:
  GramHash hash_{1};
  LargeTable<uint64_t> bits_;
};
