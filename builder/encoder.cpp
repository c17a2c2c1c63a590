#include "builder/encoder.h"

#include <algorithm>
#include <future>
#include <thread>
#include <stdexcept>

#include "builder/encoder_index.h"
#include "builder/encoder_matcher.h"
#include "builder/encoder_refine.h"
#include "builder/format/delta_writer.h"

namespace {

// Chain heads for an old file of `size` bytes: about one per 2 positions.
int IndexTableBits(uint32_t size) {
  int bits = 10;
  while (bits < 26 && (uint64_t(1) << bits) * 2 < size) ++bits;
  return bits;
}

uint32_t EncoderThreads(const EncoderOptions& options) {
  if (options.threads != 0) return options.threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

// Runs work(0) to work(parts - 1) on `threads` threads (the caller's among
// them): thread t takes parts t, t + threads, ... Returns when all are done,
// passing on an exception of the first thread that threw one.
template <typename Work>
void RunParts(uint32_t parts, uint32_t threads, const Work& work) {
  const auto share = [&](uint32_t first) {
    for (uint32_t part = first; part < parts; part += threads) work(part);
  };
  std::vector<std::future<void>> others;
  for (uint32_t thread = 1; thread < threads; ++thread)
    others.push_back(std::async(std::launch::async, share, thread));
  share(0);
  for (std::future<void>& other : others) other.get();
}

}  // namespace

std::vector<DeltaOp> EncodeDelta(ByteView oldData, ByteView newData, const EncoderOptions& options) {
  if (oldData.size >= 0x80000000u || newData.size >= 0x80000000u)
    throw std::length_error("files of 2 GiB or more cannot be delta-encoded");
  if (newData.size == 0) return {};
  if (oldData.size == 0) return {DeltaOp{DeltaOp::kLiteral, 0, newData.size, 0}};
  // Two things at a time at most: the index and the filter of the old file,
  // then the two halves of the new file. (The index is not split further: its
  // links are written in position order, and parts that took ranges of hashes
  // would share nearly every cache line.)
  const uint32_t threads = std::min<uint32_t>(EncoderThreads(options), 2);
  std::vector<DeltaOp> halves[2];
  {
    // The tables live only while blocks are matched: the refinement reads the
    // files alone, and its lists of steps take the tables' place at the peak.
    OldIndex index;
    GramFilter grams;
    RunParts(2, threads, [&](uint32_t part) {
      if (part == 0)
        index.Build(oldData, IndexTableBits(oldData.size));
      else
        grams.Build(oldData);
    });
    // The split is fixed by the size, so the result depends neither on timing
    // nor on the number of threads.
    const uint32_t middle = newData.size >= options.splitNewFrom ? newData.size / 2 : newData.size;
    RunParts(2, threads, [&](uint32_t half) {
      if (half == 0)
        halves[0] = MatchBlocks(oldData, ByteView{newData.data, middle}, 0, index, grams, options);
      else if (middle != newData.size)
        halves[1] = MatchBlocks(oldData, newData, middle, index, grams, options);
    });
  }
  std::vector<DeltaOp>& ops = halves[0];
  ops.insert(ops.end(), halves[1].begin(), halves[1].end());
  halves[1] = {};
  return RefineOps(oldData, newData, ops, options);
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
