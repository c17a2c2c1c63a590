#include "tests/support/simple_delta.h"

#include <algorithm>
#include <vector>

#include "builder/format/delta_writer.h"

namespace {

constexpr size_t kMatchWindow = 8;  // bytes that must agree to start a copy

uint64_t WindowHash(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < kMatchWindow; ++i) v = v << 8 | p[i];
  return (v * 0x9E3779B97F4A7C15ull) >> 32;
}

// Length of a copy of old[j..] for new[i..]: runs on through bytes that differ
// as long as most of the next few bytes still agree, and ends on an agreeing byte.
size_t MatchLength(const Bytes& old, size_t j, const Bytes& now, size_t i) {
  size_t length = 0, lastAgreeing = 0;
  while (i + length < now.size() && j + length < old.size()) {
    if (old[j + length] != now[i + length]) {
      size_t agreeing = 0, probe = 1;
      for (; probe <= 8 && i + length + probe < now.size() && j + length + probe < old.size(); ++probe)
        agreeing += old[j + length + probe] == now[i + length + probe];
      if (agreeing < 6) break;
    }
    ++length;
    if (old[j + length - 1] == now[i + length - 1]) lastAgreeing = length;
  }
  return lastAgreeing;
}

}  // namespace

Bytes SimpleDelta(const Bytes& old, const Bytes& newContent) {
  DeltaWriter writer(old);
  size_t tableBits = 10;
  while ((size_t(1) << tableBits) < 2 * old.size() && tableBits < 26) ++tableBits;
  std::vector<int64_t> table(size_t(1) << tableBits, -1);
  const uint64_t tableMask = (uint64_t(1) << tableBits) - 1;
  for (size_t j = 0; j + kMatchWindow <= old.size(); ++j)
    table[WindowHash(&old[j]) & tableMask] = int64_t(j);

  size_t i = 0, oldEnd = 0;
  while (i < newContent.size()) {
    size_t bestLength = 0, bestPosition = 0;
    // The old file's bytes right after the previous copy (an edit in place), then
    // the last place in the old file where the next bytes appear.
    if (oldEnd < old.size()) {
      bestLength = MatchLength(old, oldEnd, newContent, i);
      bestPosition = oldEnd;
    }
    if (i + kMatchWindow <= newContent.size()) {
      const int64_t j = table[WindowHash(&newContent[i]) & tableMask];
      if (j >= 0 && std::equal(&old[j], &old[j] + kMatchWindow, &newContent[i])) {
        const size_t length = MatchLength(old, size_t(j), newContent, i);
        if (length > bestLength) bestLength = length, bestPosition = size_t(j);
      }
    }
    if (bestLength < kMatchWindow) {
      writer.Literal(&newContent[i], 1);
      ++i;
      continue;
    }
    writer.Copy(uint32_t(bestPosition), &newContent[i], bestLength);
    i += bestLength;
    oldEnd = bestPosition + bestLength;
  }
  return writer.Finish();
}
